// The POSIX side of the shared test support: its error values and what it can run.
#include "support/test_support.h"

#include <cstdlib>

#include <unistd.h>

namespace updater::test {

error_code not_found_error() { return system_error(ENOENT); }
error_code path_not_found_error() { return system_error(ENOENT); }
error_code already_exists_error() { return system_error(EEXIST); }
error_code not_empty_error() { return system_error(ENOTEMPTY); }
error_code access_denied_error() { return system_error(EACCES); }
bool running_as_root() { return geteuid() == 0; }
bool running_under_wine() { return false; }

bool strace_can_trace()
{
    static const bool works = std::system("strace -qq -o /dev/null true >/dev/null 2>&1") == 0;
    return works;
}

} // namespace updater::test
