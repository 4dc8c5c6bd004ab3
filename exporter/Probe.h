#pragma once

#include "Config.h"

#include <Fleet.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace exporter {

// One probe of one device: one connection, each variable of the module read
// once in order, then the status where asked, all within a deadline however
// the device behaves. A fleet of that one device does the exchanges; this
// keeps what each one gave and writes it out as metrics.
class Probe final : public client::IFleetEvents {
public:
    // `done` is called once, from the event loop, when the probe is over;
    // the probe may not be destroyed inside it.
    Probe(std::shared_ptr<const Config> config, const Module& module, const Target& target, std::int64_t deadlineUs,
          platform::IIoFactory& io, platform::IMonotonicClock& clock, std::function<void(Probe&)> done);
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    void Start();

    bool Success() const;
    double DurationSeconds() const { return double(endUs_ - startUs_) / 1e6; }
    // The exposition text of the probe's metrics.
    std::string Metrics() const;
    // Why the probe failed, for the log: the first exchange that did not
    // succeed, or the connection's failure. Empty on success.
    const std::string& Failure() const { return failure_; }

    void Fleet_Exchange(std::size_t device, const client::ExchangeReport& report) override;
    void Fleet_Finished(std::size_t device, client::Ending ending, std::string_view reason) override;

private:
    // What one exchange of the round gave; nothing when it never ended.
    struct Result {
        std::optional<client::Outcome> outcome;
        std::optional<std::int64_t> rttUs; // none without an answer
        std::string valueText; // hex, most significant digit first
        std::uint16_t errorCode = 0;
    };

    void NoteFailure(std::string text);

    std::shared_ptr<const Config> config_; // keeps module_ alive across a reload
    const Module& module_;
    Target target_;
    std::int64_t deadlineUs_;
    platform::IMonotonicClock& clock_;
    std::function<void(Probe&)> done_;

    std::vector<Result> results_; // the module's variables, then the status
    std::optional<std::uint16_t> state_;
    std::string failure_;
    std::int64_t startUs_ = 0;
    std::int64_t endUs_ = 0;

    client::Fleet fleet_;
};

} // namespace exporter
