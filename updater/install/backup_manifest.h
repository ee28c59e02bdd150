// A manifest of an installation that has none, written into the pending backup.
#pragma once

#include "updater/fs/error.h"
#include "updater/manifest/manifest.h"

namespace updater {

// Writes pending_backup_dir/"install-manifest.txt" listing install_dir's top-level regular files
// and the regular files below the top-level folders that staged_files also brings (ASCII names
// only; no names beginning with "." and no "user" at the top). False when the top-level listing
// cannot be started or advanced (ec holds the listing's error) or the file could not be opened or
// written (generic "io error"); the file is closed either way. Folders below the top level that
// cannot be listed only leave their files out.
bool write_backup_manifest(const manifest_set& staged_files, const path_string& install_dir,
                           const path_string& pending_backup_dir, error_code& ec);

} // namespace updater
