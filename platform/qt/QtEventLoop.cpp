#include "EventLoop.h"

namespace platform {

void UseScalableEventLoop() {}

} // namespace platform
