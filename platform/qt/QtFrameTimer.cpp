#include "QtTimer.h"

#include <memory>

namespace platform {

std::unique_ptr<ITimer> MakeFrameTimer()
{
    return std::make_unique<QtTimer>();
}

} // namespace platform
