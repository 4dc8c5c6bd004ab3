#include "QtMonotonicClock.h"

#include <QDeadlineTimer>

namespace platform {

std::int64_t QtMonotonicClock::NowMicros()
{
    return QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs() / 1000;
}

} // namespace platform
