#include "Probe.h"

#include <modZeva.h>

#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <charconv>

namespace exporter {

namespace {

// A value's text in its format as a number; absent when it is none.
std::optional<double> Number(const std::string& text)
{
    double v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc{} || end != text.data() + text.size())
        return std::nullopt;
    return v;
}

std::string_view FailureText(client::Outcome outcome)
{
    switch (outcome) {
    case client::Outcome::Answer:
        return "answered";
    case client::Outcome::DeviceError:
        return "device error";
    case client::Outcome::Malformed:
        return "malformed answer";
    case client::Outcome::Timeout:
        return "no answer in time";
    case client::Outcome::Late:
        return "late answer";
    case client::Outcome::Closed:
        return "connection lost";
    }
    return "failed";
}

} // namespace

Probe::Probe(std::shared_ptr<const Config> config, const Module& module, const Target& target, std::int64_t deadlineUs,
             platform::QtTimerSet& timers, platform::IMonotonicClock& clock, std::function<void(Probe&)> done)
    : config_(std::move(config)), module_(module), target_(target), deadlineUs_(deadlineUs), clock_(clock),
      done_(std::move(done)), engineTimer_(timers.MakeTimer()), deadline_(timers.MakeTimer()),
      engine_(socket_, *engineTimer_, clock, *this)
{
    round_.reserve(module_.variables.size() + 1);
    for (const ProbeVariable& v : module_.variables)
        round_.push_back(v.request);
    if (module_.status) {
        client::Request status;
        status.command = client::Command::Status;
        round_.push_back(std::move(status));
    }
    results_.resize(round_.size());
    deadline_->SetListener(this);
}

Probe::~Probe()
{
    deadline_->SetListener(nullptr);
    deadline_->Stop();
}

void Probe::Start()
{
    client::RunSettings settings;
    settings.protocol = module_.protocol;
    settings.host = target_.host;
    settings.port = target_.port;
    settings.responseTimeoutUs = module_.timeoutUs;
    settings.connectTimeoutUs = module_.timeoutUs;
    settings.retries = module_.protocol == platform::Protocol::Udp ? module_.retries : 0;
    settings.count = 1;
    startUs_ = clock_.NowMicros();
    deadline_->Start(deadlineUs_);
    if (engine_.Start(settings, round_) != modZeva::SendResult::Sent) {
        // The configuration's check refuses what the engine would.
        Engine_Finished(client::Ending::TransportFailure, "the request was refused");
    }
}

void Probe::Engine_Exchange(const client::ExchangeReport& report)
{
    // Late answers, and bytes that are no answer, end no exchange: the
    // request they came during times out or is answered after them.
    if (report.outcome == client::Outcome::Late || report.variable >= results_.size())
        return;
    if (report.outcome == client::Outcome::Malformed && !report.rttMicros)
        return;
    Result& r = results_[report.variable];
    r.outcome = report.outcome;
    r.rttUs = report.rttMicros.value_or(0);
    if (report.answer && report.rttMicros) {
        if (report.answer->stateText) {
            std::uint16_t state = 0;
            const std::string& text = *report.answer->stateText;
            if (std::from_chars(text.data(), text.data() + text.size(), state, 16).ec == std::errc{})
                state_ = state;
        }
        r.errorCode = report.outcome == client::Outcome::DeviceError ? report.answer->errorCode : 0;
        if (report.outcome == client::Outcome::Answer)
            r.valueText = report.answer->valueText;
    }
    if (report.outcome != client::Outcome::Answer) {
        const std::string& name = report.variable < module_.variables.size() ? module_.variables[report.variable].label
                                                                              : std::string("status");
        std::string text = name + ": " + std::string(FailureText(report.outcome));
        if (report.outcome == client::Outcome::DeviceError)
            text += " " + std::to_string(r.errorCode);
        NoteFailure(std::move(text));
    }
}

void Probe::Engine_Finished(client::Ending ending, std::string_view reason)
{
    if (finished_)
        return;
    finished_ = true;
    endUs_ = clock_.NowMicros();
    deadline_->Stop();
    if (ending == client::Ending::TransportFailure)
        NoteFailure(std::string(reason));
    else if (ending == client::Ending::Interrupted)
        NoteFailure("the probe's deadline passed");
    done_(*this);
}

void Probe::Timer_Elapsed()
{
    engine_.Interrupt(); // ends the run: Engine_Finished follows at once
}

void Probe::NoteFailure(std::string text)
{
    if (failure_.empty())
        failure_ = std::move(text);
}

bool Probe::Success() const
{
    for (const Result& r : results_) {
        if (r.outcome != client::Outcome::Answer)
            return false;
    }
    return true;
}

std::string Probe::Metrics() const
{
    using prometheus::BuildGauge;
    prometheus::Registry registry(prometheus::Registry::InsertBehavior::Throw);
    BuildGauge()
        .Name("zeva_probe_success")
        .Help("Whether every exchange of the probe was answered without a device error")
        .Register(registry)
        .Add({})
        .Set(Success() ? 1 : 0);
    BuildGauge()
        .Name("zeva_probe_duration_seconds")
        .Help("How long the probe took, connection included")
        .Register(registry)
        .Add({})
        .Set(DurationSeconds());
    if (state_) {
        BuildGauge()
            .Name("zeva_device_state")
            .Help("The state word of the device's last answer")
            .Register(registry)
            .Add({})
            .Set(*state_);
    }

    const std::size_t variables = module_.variables.size();
    if (variables > 0) {
        auto& value = BuildGauge()
                          .Name("zeva_variable_value")
                          .Help("The variable's value in its configured format")
                          .Register(registry);
        auto& duration = BuildGauge()
                             .Name("zeva_exchange_duration_seconds")
                             .Help("Round trip of the exchange that read the variable, to the microsecond")
                             .Register(registry);
        auto& success = BuildGauge()
                            .Name("zeva_exchange_success")
                            .Help("Whether the variable was read without a device error")
                            .Register(registry);
        auto& error = BuildGauge()
                          .Name("zeva_device_error_code")
                          .Help("The device's error code for the variable, 0 when there is none")
                          .Register(registry);
        for (std::size_t i = 0; i < variables; ++i) {
            const ProbeVariable& v = module_.variables[i];
            const Result& r = results_[i];
            const std::map<std::string, std::string> labels{{"variable", v.label}};
            const bool answered = r.outcome == client::Outcome::Answer;
            if (answered) {
                if (const auto number = Number(modZeva::FormatHexValue(r.valueText, v.format)))
                    value.Add(labels).Set(*number);
            }
            duration.Add(labels).Set(double(r.rttUs) / 1e6);
            success.Add(labels).Set(answered ? 1 : 0);
            error.Add(labels).Set(r.errorCode);
        }
    }
    if (module_.status && results_.back().outcome == client::Outcome::Answer) {
        BuildGauge()
            .Name("zeva_device_status_info")
            .Help("The device's 20 status bytes, last byte first, in hexadecimal")
            .Register(registry)
            .Add({{"data", results_.back().valueText}})
            .Set(1);
    }
    return prometheus::TextSerializer().Serialize(registry.Collect());
}

} // namespace exporter
