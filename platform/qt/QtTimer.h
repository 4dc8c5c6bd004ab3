#pragma once

#include <Timer.h>

#include <QTimer>

namespace platform {

// A one-shot QTimer with millisecond precision: a wait is rounded up to the
// next whole millisecond, so it never ends early.
class QtTimer final : public ITimer {
public:
    QtTimer();

    void SetListener(ITimerEvents* events) override { listener_ = events; }
    void Start(std::int64_t micros) override;
    void Stop() override;

private:
    ITimerEvents* listener_ = nullptr;
    QTimer timer_;
};

} // namespace platform
