// The Windows side of the shared test support: its error values and what it can run.
#include "support/test_support.h"

#include <cstdlib>

#include <windows.h>

namespace updater::test {

error_code not_found_error() { return system_error(ERROR_FILE_NOT_FOUND); }
error_code path_not_found_error() { return system_error(ERROR_PATH_NOT_FOUND); }
error_code already_exists_error() { return system_error(ERROR_ALREADY_EXISTS); }
error_code not_empty_error() { return system_error(ERROR_DIR_NOT_EMPTY); }
error_code access_denied_error() { return system_error(ERROR_ACCESS_DENIED); }
bool running_as_root() { return false; }
bool running_under_wine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

bool strace_can_trace() { return false; }

} // namespace updater::test
