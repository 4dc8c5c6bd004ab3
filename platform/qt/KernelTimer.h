#pragma once

#include <Timer.h>

#include <QTimer>

#include <memory>

class QSocketNotifier;

namespace platform {

// A one-shot timer kept by the kernel (a timerfd) and watched by the event
// loop like a socket, with microsecond precision.
//
// While a QTimer is armed, every wait of the event loop is given a timeout,
// and the kernel sets up and tears down a timer of its own for each wait.
// When the loop waits thousands of times a second (continuous reading) and
// the timer is armed far less often (a repaint a frame), this one costs a
// system call per Start instead. Should the system refuse a timerfd (no
// descriptor left), a QTimer stands in.
class KernelTimer final : public ITimer {
public:
    KernelTimer();
    ~KernelTimer() override;
    KernelTimer(const KernelTimer&) = delete;
    KernelTimer& operator=(const KernelTimer&) = delete;

    void SetListener(ITimerEvents* events) override { listener_ = events; }
    void Start(std::int64_t micros) override;
    void Stop() override;
    bool IsActive() const { return active_; }

private:
    void OnReadable();

    ITimerEvents* listener_ = nullptr;
    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    QTimer fallback_;
    bool active_ = false;
};

} // namespace platform
