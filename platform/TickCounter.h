#pragma once

#include <cstdint>

namespace platform {

// The system's millisecond counter, read as a signed 32-bit number that wraps
// (after 2^31 ms it goes negative, after 2^32 ms it is back at 0). Only the
// difference of two readings means anything.
class ITickCounter {
public:
    virtual ~ITickCounter() = default;
    virtual std::int32_t GetTickCount() = 0;
};

} // namespace platform
