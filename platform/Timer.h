#pragma once

#include <cstdint>
#include <memory>

namespace platform {

class ITimerEvents {
public:
    virtual ~ITimerEvents() = default;
    virtual void Timer_Elapsed() = 0;
};

// A one-shot timer whose event arrives on the event thread, one event at a
// time like the socket's.
class ITimer {
public:
    virtual ~ITimer() = default;
    virtual void SetListener(ITimerEvents* events) = 0;
    // (Re)arms the timer: Elapsed follows once, `micros` from now, unless
    // Stop() or another Start() comes first.
    virtual void Start(std::int64_t micros) = 0;
    // After Stop() no Elapsed follows until the next Start().
    virtual void Stop() = 0;
};

// A timer for work paced by the screen, armed a few times a second while the
// event loop wakes thousands of times: on Linux the kernel's timerfd, which
// costs nothing while armed; in the portable build a QTimer. Needs a Qt
// application object.
std::unique_ptr<ITimer> MakeFrameTimer();

} // namespace platform
