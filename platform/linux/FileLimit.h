#pragma once

#include <cstdint>
#include <optional>

namespace platform::posix {

// platform::RaiseOpenFileLimit on Linux, for the programs that run only
// there (the simulator, the benchmarks) in the portable build too: raises
// the soft limit on open files to the hard one and returns it; nullopt
// where there is no limit, or none that can be read.
std::optional<std::uint64_t> RaiseOpenFileLimit();

} // namespace platform::posix
