#include "KernelTimer.h"

#include <QSocketNotifier>

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>

namespace platform {

KernelTimer::KernelTimer() : fd_(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC))
{
    if (fd_ < 0) {
        fallback_.setSingleShot(true);
        fallback_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&fallback_, &QTimer::timeout, [this] {
            active_ = false;
            if (listener_)
                listener_->Timer_Elapsed();
        });
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { OnReadable(); });
}

KernelTimer::~KernelTimer()
{
    notifier_.reset();
    if (fd_ >= 0)
        ::close(fd_);
}

void KernelTimer::Start(std::int64_t micros)
{
    active_ = true;
    if (fd_ < 0) {
        fallback_.start(static_cast<int>(micros <= 0 ? 0 : std::min<std::int64_t>((micros + 999) / 1000, INT_MAX)));
        return;
    }
    // A zero it_value disarms a timerfd: the shortest wait is 1 ns.
    constexpr std::int64_t kMaxMicros = std::int64_t{1} << 40; // about 12 days
    const std::int64_t ns = micros <= 0 ? 1 : std::min(micros, kMaxMicros) * 1000;
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
    when.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    ::timerfd_settime(fd_, 0, &when, nullptr);
}

void KernelTimer::Stop()
{
    active_ = false;
    if (fd_ < 0) {
        fallback_.stop();
        return;
    }
    const itimerspec never{};
    ::timerfd_settime(fd_, 0, &never, nullptr);
}

void KernelTimer::OnReadable()
{
    // Re-arming or disarming drops an expiry not yet read, so a wake-up
    // that finds none (EAGAIN) is one that Start or Stop overtook.
    std::uint64_t expiries = 0;
    if (::read(fd_, &expiries, sizeof expiries) != static_cast<ssize_t>(sizeof expiries))
        return;
    if (!active_)
        return;
    active_ = false;
    if (listener_)
        listener_->Timer_Elapsed();
}

std::unique_ptr<ITimer> MakeFrameTimer()
{
    return std::make_unique<KernelTimer>();
}

} // namespace platform
