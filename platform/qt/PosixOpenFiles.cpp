#include "OpenFiles.h"

#include <FileLimit.h>

namespace platform {

std::optional<std::uint64_t> RaiseOpenFileLimit()
{
    return posix::RaiseOpenFileLimit();
}

} // namespace platform
