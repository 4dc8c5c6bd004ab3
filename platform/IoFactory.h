#pragma once

#include "Socket.h"
#include "Timer.h"

#include <memory>

namespace platform {

// Makes the sockets and timers of a program that measures many devices from
// one thread. What it makes lives no longer than the factory.
class IIoFactory {
public:
    virtual ~IIoFactory() = default;
    virtual std::unique_ptr<ISocket> MakeSocket() = 0;
    virtual std::unique_ptr<ITimer> MakeTimer() = 0;
};

} // namespace platform
