#pragma once

#include <MonotonicClock.h>

namespace platform {

// Microseconds of the system's monotonic clock.
class QtMonotonicClock final : public IMonotonicClock {
public:
    std::int64_t NowMicros() override;
};

} // namespace platform
