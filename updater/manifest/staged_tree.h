// What a staged update brings: the scan of the staging folder, the "user" rule, and the update's
// manifest.
#pragma once

#include "updater/fs/error.h"
#include "updater/manifest/manifest.h"

namespace updater {

// True when the first element of rel is "user" in any ASCII letter case.
bool is_user_path(path_view rel);

// The relative paths of the regular files under staging_dir (links to files resolved to their
// target's path), without the top-level "install-manifest.txt" and without the "user" folder.
// Fails with the iteration's error, with a status or link error other than not-found, and with
// generic "invalid argument" for a name that a manifest cannot hold. Entries whose relative path
// would leave staging_dir are skipped. An empty result is no error.
manifest_set scan_staged_tree(const path_string& staging_dir, error_code& ec);

// The update's manifest: the staged "install-manifest.txt" when it has entries, otherwise
// staged_files, which is then written to staging_dir as "install-manifest.txt". Adds
// "install-manifest.txt" to staged_files. Fails with generic "io error" when the staged manifest
// exists but cannot be read (an open that answers "not found" for one that a listing shows
// included), or must be written and cannot be.
manifest_set prepare_new_manifest(const path_string& staging_dir, manifest_set& staged_files, error_code& ec);

} // namespace updater
