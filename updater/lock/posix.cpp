// The installation lock on POSIX: an exclusive flock on the lock file, which POSIX offers instead
// of a share mode. flock belongs to the open file description, so the lock lasts until this
// descriptor closes and, being close-on-exec, it never passes to a started program.
#include "updater/lock/lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace updater {

install_lock acquire_install_lock(const path_string& app_path)
{
    // No O_TRUNC: the file is never changed, only held.
    int fd = ::open(lock_path_of(app_path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0)
        return install_lock();
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return install_lock();
    }
    return install_lock(fd);
}

void install_lock::reset() noexcept
{
    if (handle_ != invalid)
        ::close(static_cast<int>(handle_));
    handle_ = invalid;
}

} // namespace updater
