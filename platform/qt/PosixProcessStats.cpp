#include "ProcessStats.h"

#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace platform {

ProcessStats ReadProcessStats()
{
    ProcessStats stats;
    if (rusage usage{}; getrusage(RUSAGE_SELF, &usage) == 0) {
        const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
        stats.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    }
    // Sizes in pages: the whole program, then what of it is resident.
    if (std::ifstream statm("/proc/self/statm"); statm) {
        double pages = 0, resident = 0;
        if (statm >> pages >> resident) {
            const double page = double(sysconf(_SC_PAGESIZE));
            stats.virtualBytes = pages * page;
            stats.residentBytes = resident * page;
        }
    }
    std::error_code error;
    double files = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end; it.increment(error))
        ++files;
    if (!error)
        stats.openFiles = files - 1; // less the one the listing holds open
    if (rlimit limit{}; getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        stats.maxFiles = double(limit.rlim_cur);
    return stats;
}

} // namespace platform
