#include "QtTimer.h"

#include <limits>

namespace platform {

QtTimer::QtTimer()
{
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
        if (listener_)
            listener_->Timer_Elapsed();
    });
}

void QtTimer::Start(std::int64_t micros)
{
    constexpr std::int64_t kMaxMs = std::numeric_limits<int>::max();
    const std::int64_t ms = micros <= 0 ? 0 : (micros + 999) / 1000;
    timer_.start(static_cast<int>(ms < kMaxMs ? ms : kMaxMs));
}

void QtTimer::Stop()
{
    timer_.stop();
}

} // namespace platform
