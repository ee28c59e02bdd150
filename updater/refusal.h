// The checks and clean-up of the refusal paths.
#pragma once

#include "updater/fs/path.h"

namespace updater {

// True when the install must be refused: ".update-backup.tmp" in install_dir holds anything, is
// not a directory, or cannot be examined. Only a not-found answer or an empty directory give false.
bool has_leftover_backup(const path_string& install_dir);

// Removes staging_dir with everything in it, but only when its last element is exactly
// ".update-staging". Reports nothing.
void dispose_staging_dir(const path_string& staging_dir);

} // namespace updater
