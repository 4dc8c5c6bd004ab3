#pragma once

#include <optional>

namespace platform {

// What the process uses, as a monitoring system asks for it. What the system
// cannot tell is absent.
struct ProcessStats {
    double cpuSeconds = 0; // user and system time
    std::optional<double> residentBytes;
    std::optional<double> virtualBytes;
    std::optional<double> openFiles;
    std::optional<double> maxFiles;
};

// On Linux from /proc and the resource limits; in the portable build the
// processor time alone.
ProcessStats ReadProcessStats();

} // namespace platform
