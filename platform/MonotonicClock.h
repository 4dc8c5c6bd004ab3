#pragma once

#include <cstdint>

namespace platform {

// A clock that only moves forward, with microsecond resolution or better.
// Only the difference of two readings means anything.
class IMonotonicClock {
public:
    virtual ~IMonotonicClock() = default;
    virtual std::int64_t NowMicros() = 0;
};

} // namespace platform
