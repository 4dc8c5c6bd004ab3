#include "ProcessStats.h"

#include <ctime>

namespace platform {

ProcessStats ReadProcessStats()
{
    ProcessStats stats;
    stats.cpuSeconds = double(std::clock()) / CLOCKS_PER_SEC;
    return stats;
}

} // namespace platform
