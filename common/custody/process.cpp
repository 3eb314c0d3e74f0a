#include "process.h"

#include <sys/prctl.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>

namespace sdcustody {

std::string refuseCoreDumps()
{
    std::string problem;
    const struct rlimit none = {0, 0};
    if (setrlimit(RLIMIT_CORE, &none) != 0)
        problem = std::string("cannot set the core size limit to 0: ") + std::strerror(errno);
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0)
        problem += (problem.empty() ? "" : "; ") + std::string("cannot make the process non-dumpable: ") +
                   std::strerror(errno);
    return problem;
}

} // namespace sdcustody
