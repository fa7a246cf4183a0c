#include "os/descriptor_limit.h"

#include <sys/resource.h>

namespace kez::os {

unsigned raise_descriptor_limit(unsigned wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= wanted ? wanted : limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur > wanted ? wanted : static_cast<unsigned>(limit.rlim_cur);
}

}  // namespace kez::os
