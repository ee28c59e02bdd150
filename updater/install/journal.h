// The record of completed moves of one install, and how they are undone.
#pragma once

#include "updater/fs/path.h"

#include <vector>

namespace updater {

struct journal_entry {
    path_string relative_path;
    bool backed_up = false; // the installed file went to pending_backup_dir
    bool moved_in = false;  // the staged file, or a copy of it, went to install_dir
};

using install_journal = std::vector<journal_entry>;

// Bound once before the first move, so that a rollback sees every entry appended until then.
struct rollback_context {
    const install_journal& journal;
    const path_string& install_dir;
    const path_string& staging_dir;
    const path_string& pending_backup_dir;
};

// Newest entry first: a moved-in file goes back to staging_dir (its outcome ignored); where it could
// not and nothing was backed up, it is removed; then a backed-up file comes back from
// pending_backup_dir, replacing a moved-in file that could not leave. A place that no move-in
// reached is never touched unless a backed-up file comes back to it. pending_backup_dir is removed only when every
// restore and removal succeeded. Reports nothing.
void rollback(const rollback_context& context);

} // namespace updater
