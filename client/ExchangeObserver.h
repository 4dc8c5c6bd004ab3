#pragma once

#include "ExchangeCsv.h"

#include <modZeva.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace client {

// One handled answer as the window showed it.
struct Exchange {
    Outcome outcome = Outcome::Answer;
    std::optional<std::int32_t> elapsedMs; // the response time shown; absent when not timed
    std::string_view state;                // the state text shown, empty when the answer had none
    std::string_view value;                // the value or status text shown, empty otherwise
    std::uint16_t errorCode = 0;           // the device's code, for Outcome::DeviceError
    std::string_view device;               // HOST:PORT the window talks to
    std::string_view variable;             // the variable of the newest read or write; empty after status
};

// Told of every answer the client logic handles, before any message box it
// leads to. The views are valid for the call only.
class IExchangeObserver {
public:
    virtual ~IExchangeObserver() = default;
    virtual void Exchanged(const Exchange& exchange) = 0;
};

// An answer as decoded, with the response time shown for it.
Exchange DescribeAnswer(const modZeva::Answer& answer, std::optional<std::int32_t> elapsedMs);

} // namespace client
