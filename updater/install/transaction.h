// The install transaction: the staged update moved into the installation, all or nothing.
#pragma once

#include "updater/fs/error.h"
#include "updater/fs/path.h"

namespace updater {

// Moves the staged files into install_dir, each file they replace or retire first moved aside into
// ".update-backup.tmp"; the first failed move rolls everything back and returns false with that
// move's error. On success the pending backup becomes ".update-backup" and staging_dir is removed.
// Early refusals: leftovers in ".update-backup.tmp" (generic "file exists"), a scan error, nothing
// to install (generic "invalid argument"), a staged manifest that cannot be read or written
// (generic "io error"), an installed manifest that is there but cannot be read (its error). A
// rollback also removes the folders that move-ins made. Shows and logs nothing.
bool install_staged_update(const path_string& staging_dir, const path_string& install_dir, error_code& ec);

} // namespace updater
