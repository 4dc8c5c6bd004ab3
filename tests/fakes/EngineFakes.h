#pragma once

// Stand-ins for the exchange engine's timer and clock, which a test must be
// able to move on cue, and a recorder of what the engine reports.

#include <Engine.h>
#include <MonotonicClock.h>
#include <Timer.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Fires only when the test says so.
struct FakeTimer final : platform::ITimer {
    platform::ITimerEvents* listener = nullptr;
    std::optional<std::int64_t> armed; // the wait of the last Start(), until Stop() or Fire()

    void SetListener(platform::ITimerEvents* events) override { listener = events; }
    void Start(std::int64_t micros) override { armed = micros; }
    void Stop() override { armed.reset(); }

    // Fires the armed timer; false when none is armed.
    bool Fire()
    {
        if (!armed || !listener)
            return false;
        armed.reset();
        listener->Timer_Elapsed();
        return true;
    }
};

struct FakeMonotonicClock final : platform::IMonotonicClock {
    std::int64_t now = 1'000'000;
    std::int64_t NowMicros() override { return now; }
};

struct EngineRecorder final : client::IEngineEvents {
    struct Exchange {
        client::Outcome outcome;
        std::optional<std::uint16_t> seq;
        std::optional<std::int64_t> rtt;
        std::string value;
        int retries;
        std::size_t variable;
    };
    std::vector<Exchange> exchanges;
    std::optional<client::Ending> ending;
    std::string reason;

    void Engine_Exchange(const client::ExchangeReport& r) override
    {
        exchanges.push_back({r.outcome, r.seq, r.rttMicros, r.answer ? r.answer->valueText : std::string(),
                             r.retries, r.variable});
    }
    void Engine_Frame(bool, std::span<const std::uint8_t>, std::int64_t, std::size_t) override {}
    void Engine_Finished(client::Ending e, std::string_view why) override
    {
        ending = e;
        reason = std::string(why);
    }
};
