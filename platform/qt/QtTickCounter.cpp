#include "QtTickCounter.h"

#include <QDeadlineTimer>

namespace platform {

std::int32_t QtTickCounter::GetTickCount()
{
    // The low 32 bits of the monotonic millisecond count, read as signed: it
    // wraps exactly as a 32-bit tick counter does.
    const auto ms = static_cast<std::uint64_t>(QDeadlineTimer::current(Qt::PreciseTimer).deadline());
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(ms));
}

} // namespace platform
