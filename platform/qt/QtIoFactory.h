#pragma once

#include "QtTimerSet.h"

#include <IoFactory.h>

namespace platform {

// Qt sockets, and timers that all run on one QtTimerSet, so that a
// thousand devices cost one QTimer.
class QtIoFactory final : public IIoFactory {
public:
    std::unique_ptr<ISocket> MakeSocket() override;
    std::unique_ptr<ITimer> MakeTimer() override { return timers_.MakeTimer(); }

private:
    QtTimerSet timers_;
};

} // namespace platform
