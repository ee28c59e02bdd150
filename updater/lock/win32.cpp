// The installation lock on Windows: the lock file opened without any sharing, so that a second
// open fails with a sharing violation while this handle is open.
#include "updater/lock/lock.h"

#include "updater/fs/win32_path.h"
#include "updater/os_calls/win32.h"

namespace updater {

install_lock acquire_install_lock(const path_string& app_path)
{
    // No security attributes: the handle is not inheritable. No delete-on-close: the file stays.
    HANDLE handle = os_calls::win32_calls().create_file(fs::detail::win32_path(lock_path_of(app_path)).c_str(),
                                                        GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    return install_lock(reinterpret_cast<std::intptr_t>(handle));
}

void install_lock::reset() noexcept
{
    if (handle_ != invalid)
        os_calls::win32_calls().close_handle(reinterpret_cast<HANDLE>(handle_));
    handle_ = invalid;
}

} // namespace updater
