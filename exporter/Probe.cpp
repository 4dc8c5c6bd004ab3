#include "Probe.h"

#include "Exposition.h"

#include <modZeva.h>

#include <bit>
#include <charconv>

namespace exporter {

namespace {

// A value, hex text most significant digit first, as the number its
// format reads: the nearest double to a whole number, the exact value of a
// float. Absent when the text is not one of 1 to 8 bytes.
std::optional<double> Number(const std::string& hex, modZeva::ValueFormat format)
{
    std::uint64_t bits = 0;
    const auto [end, ec] = std::from_chars(hex.data(), hex.data() + hex.size(), bits, 16);
    const std::size_t size = hex.size() / 2;
    if (ec != std::errc{} || end != hex.data() + hex.size() || hex.size() % 2 || size == 0 || size > 8)
        return std::nullopt;
    switch (format) {
    case modZeva::ValueFormat::Signed: {
        const int unused = int(64 - size * 8);
        return double(static_cast<std::int64_t>(bits << unused) >> unused);
    }
    case modZeva::ValueFormat::Float:
        if (size == 4)
            return double(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
        if (size == 8)
            return std::bit_cast<double>(bits);
        return std::nullopt;
    default:
        return double(bits);
    }
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
             platform::IIoFactory& io, platform::IMonotonicClock& clock, std::function<void(Probe&)> done)
    : config_(std::move(config)), module_(module), target_(target), deadlineUs_(deadlineUs), clock_(clock),
      done_(std::move(done)), results_(module_.variables.size() + (module_.status ? 1 : 0)), fleet_(1, io, clock, *this)
{
}

void Probe::Start()
{
    std::vector<client::Request> round;
    round.reserve(results_.size());
    for (const ProbeVariable& v : module_.variables)
        round.push_back(v.request);
    if (module_.status) {
        client::Request status;
        status.command = client::Command::Status;
        round.push_back(std::move(status));
    }
    client::RunSettings settings;
    settings.protocol = module_.protocol;
    settings.host = target_.host;
    settings.port = target_.port;
    settings.responseTimeoutUs = module_.timeoutUs;
    settings.connectTimeoutUs = module_.timeoutUs;
    settings.retries = module_.protocol == platform::Protocol::Udp ? module_.retries : 0;
    settings.count = 1;
    startUs_ = clock_.NowMicros();
    // The configuration's check refuses what the engine would; a round
    // refused all the same ends the probe at once, as a failure.
    fleet_.Start(0, settings, round, deadlineUs_);
}

void Probe::Fleet_Exchange(std::size_t, const client::ExchangeReport& report)
{
    // Late answers, and bytes that are no answer, end no exchange: the
    // request they came during times out or is answered after them.
    if (report.outcome == client::Outcome::Late || report.variable >= results_.size())
        return;
    if (report.outcome == client::Outcome::Malformed && !report.rttMicros)
        return;
    Result& r = results_[report.variable];
    r.outcome = report.outcome;
    r.rttUs = report.rttMicros;
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

void Probe::Fleet_Finished(std::size_t, client::Ending ending, std::string_view reason)
{
    endUs_ = clock_.NowMicros();
    if (ending == client::Ending::TransportFailure)
        NoteFailure(std::string(reason));
    else if (ending == client::Ending::Interrupted)
        NoteFailure("the probe's deadline passed");
    done_(*this);
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
    Exposition out;
    out.Gauge("zeva_probe_success", "Whether every exchange of the probe was answered without a device error");
    out.Sample("zeva_probe_success", {}, Success() ? 1 : 0);
    out.Gauge("zeva_probe_duration_seconds", "How long the probe took, connection included");
    out.Sample("zeva_probe_duration_seconds", {}, DurationSeconds());
    if (state_) {
        out.Gauge("zeva_device_state", "The state word of the device's last answer");
        out.Sample("zeva_device_state", {}, *state_);
    }

    const std::size_t variables = module_.variables.size();
    if (variables > 0) {
        const auto labels = [&](std::size_t i) { return Exposition::Labels{{"variable", module_.variables[i].label}}; };
        const auto answered = [&](std::size_t i) { return results_[i].outcome == client::Outcome::Answer; };
        // An exchange that got no answer has no round trip to show: a dead
        // device must not look like the fastest one.
        out.Gauge("zeva_variable_value", "The variable's value in its configured format");
        for (std::size_t i = 0; i < variables; ++i) {
            if (!answered(i))
                continue;
            if (const auto number = Number(results_[i].valueText, module_.variables[i].format))
                out.Sample("zeva_variable_value", labels(i), *number);
        }
        out.Gauge("zeva_exchange_duration_seconds", "Round trip of the exchange that read the variable, to the microsecond");
        for (std::size_t i = 0; i < variables; ++i) {
            if (results_[i].rttUs)
                out.Sample("zeva_exchange_duration_seconds", labels(i), double(*results_[i].rttUs) / 1e6);
        }
        out.Gauge("zeva_exchange_success", "Whether the variable was read without a device error");
        for (std::size_t i = 0; i < variables; ++i)
            out.Sample("zeva_exchange_success", labels(i), answered(i) ? 1 : 0);
        out.Gauge("zeva_device_error_code", "The device's error code for the variable, 0 when there is none");
        for (std::size_t i = 0; i < variables; ++i)
            out.Sample("zeva_device_error_code", labels(i), results_[i].errorCode);
    }
    if (module_.status && results_.back().outcome == client::Outcome::Answer) {
        out.Gauge("zeva_device_status_info", "The device's 20 status bytes, last byte first, in hexadecimal");
        out.Sample("zeva_device_status_info", {{"data", results_.back().valueText}}, 1);
    }
    return out.Text();
}

} // namespace exporter
