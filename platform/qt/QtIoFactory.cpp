#include "QtIoFactory.h"

#include "QtSocket.h"

namespace platform {

std::unique_ptr<ISocket> QtIoFactory::MakeSocket()
{
    return std::make_unique<QtSocket>();
}

} // namespace platform
