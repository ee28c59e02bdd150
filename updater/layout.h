// The fixed names the helper uses inside the installation folder.
#pragma once

#include "updater/fs/path.h"

namespace updater {

inline path_string backup_dir_of(path_view install_dir)
{
    return join_path(install_dir, path_from_utf8(".update-backup"));
}
inline path_string pending_backup_dir_of(path_view install_dir)
{
    return join_path(install_dir, path_from_utf8(".update-backup.tmp"));
}
inline path_string update_log_of(path_view install_dir)
{
    return join_path(install_dir, path_from_utf8(".update-helper.log"));
}

} // namespace updater
