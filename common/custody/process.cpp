#include "process.h"

#include <sys/prctl.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>

namespace sdcustody {

namespace {

// A sandbox may forbid setrlimit (the service's unit filters it out) while
// its own LimitCORE=0 already did the work: that is no problem.
bool coreLimitIsZero()
{
    struct rlimit current;
    return getrlimit(RLIMIT_CORE, &current) == 0 && current.rlim_cur == 0 && current.rlim_max == 0;
}

} // namespace

std::string refuseCoreDumps()
{
    std::string problem;
    const struct rlimit none = {0, 0};
    if (setrlimit(RLIMIT_CORE, &none) != 0 && !coreLimitIsZero())
        problem = std::string("cannot set the core size limit to 0: ") + std::strerror(errno);
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0)
        problem += (problem.empty() ? "" : "; ") + std::string("cannot make the process non-dumpable: ") +
                   std::strerror(errno);
    return problem;
}

} // namespace sdcustody
