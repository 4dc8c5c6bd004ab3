#pragma once

#include <cstdint>
#include <optional>

namespace platform {

// Raises the process's limit on open files as far as the system allows and
// returns how many it may now hold open; nullopt where the system sets no
// such limit, or none that can be read. A program that holds a socket per
// device calls it before it opens any.
std::optional<std::uint64_t> RaiseOpenFileLimit();

} // namespace platform
