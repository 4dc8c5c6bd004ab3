#pragma once

#include <TickCounter.h>

namespace platform {

// Milliseconds of the system's monotonic clock, cut to 32 bits.
class QtTickCounter final : public ITickCounter {
public:
    std::int32_t GetTickCount() override;
};

} // namespace platform
