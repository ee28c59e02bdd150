// The leftover guard and the disposal of a refused staging folder.
#include "updater/refusal.h"

#include "updater/fs/fs.h"
#include "updater/layout.h"

namespace updater {

bool has_leftover_backup(const path_string& install_dir)
{
    path_string pending = pending_backup_dir_of(install_dir);
    // The listing decides; a "not found" from it is believed only when a status query agrees, so
    // that one wrong answer cannot hide leftovers. A leftover that cannot be examined counts as
    // present: refusing is always safe.
    error_code ec;
    fs::directory_iteration entries(pending, fs::iteration_mode::plain, ec);
    if (!ec)
        return !entries.at_end();
    if (!is_not_found(ec))
        return true;
    return fs::status(pending, ec) != fs::file_type::not_found;
}

void dispose_staging_dir(const path_string& staging_dir)
{
    if (last_element(staging_dir) != path_from_utf8(".update-staging"))
        return;
    error_code ignored;
    fs::remove_all(staging_dir, ignored);
}

} // namespace updater
