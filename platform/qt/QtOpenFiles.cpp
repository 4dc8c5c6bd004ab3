#include "OpenFiles.h"

namespace platform {

// The portable build knows of no limit: where the system has one, opening a
// socket past it fails, and that device is reported unreachable.
std::optional<std::uint64_t> RaiseOpenFileLimit()
{
    return std::nullopt;
}

} // namespace platform
