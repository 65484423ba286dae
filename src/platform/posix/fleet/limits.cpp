// The process's own limits raised to what the machine allows: holm-fleet
// and holm-find hold thousands of descriptors, and holm-fleet thousands of
// programs.
#include <sys/resource.h>

#include "platform/platform.h"

namespace plat {

namespace {

long raise_limit(int resource) {
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0) return unlimited;
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised{limit.rlim_max, limit.rlim_max};
        if (setrlimit(resource, &raised) == 0) limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? unlimited : static_cast<long>(limit.rlim_cur);
}

}  // namespace

long raise_open_file_limit() { return raise_limit(RLIMIT_NOFILE); }
long raise_process_limit() { return raise_limit(RLIMIT_NPROC); }

}  // namespace plat
