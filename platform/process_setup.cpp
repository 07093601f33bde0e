#include "process_setup.h"

#include <algorithm>
#include <csignal>
#include <mutex>
#include <sys/resource.h>

namespace qm {

void prepareProcessForRuns() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        // No more than children that close every descriptor could bear to walk through.
        constexpr rlim_t Wanted = 65536;
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < Wanted &&
            limit.rlim_cur < limit.rlim_max) {
            // select() is never used here, so descriptors above 1024 are harmless
            limit.rlim_cur = std::min(limit.rlim_max, Wanted);
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
    });
}

int openDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > 1 << 20)
        return 1 << 20;
    return static_cast<int>(limit.rlim_cur);
}

} // namespace qm
