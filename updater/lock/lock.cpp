// Where the lock file lives, and releasing it.
#include "updater/lock/lock.h"

namespace updater {

path_string lock_path_of(path_view app_path)
{
    path_string name = path_from_utf8(".");
    name += last_element(app_path);
    name += path_from_utf8(".lock");
    return join_path(parent_path(app_path), name);
}

void release_install_lock(install_lock& lock) noexcept { lock.reset(); }

} // namespace updater
