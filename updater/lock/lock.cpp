// Where the lock file lives, and releasing it.
#include "updater/lock/lock.h"

namespace updater {

path_string lock_path_of(path_view app_path)
{
    // join_path with an empty relative path gives the folder and the separator it needs; the name
    // goes after it as it is, since join_path would read a "\" in a POSIX file name as a separator.
    path_string lock_path = join_path(parent_path(app_path), path_view());
    lock_path += path_from_utf8(".");
    lock_path += last_element(app_path);
    lock_path += path_from_utf8(".lock");
    return lock_path;
}

void release_install_lock(install_lock& lock) noexcept { lock.reset(); }

} // namespace updater
