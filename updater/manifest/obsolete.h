// The installed files that an update retires.
#pragma once

#include "updater/manifest/manifest.h"

#include <vector>

namespace updater {

struct obsolete_listing {
    manifest_set installed_manifest;
    // Members of installed_manifest, in its order and stored form, that new_manifest lacks and that
    // are not under "user".
    std::vector<path_string> obsolete_files;
};

// Reads install_dir's manifest. A missing one (its open answers "not found" and the listing of
// install_dir does not show it) lists nothing and is no error; one that is there but
// cannot be read to its end sets ec, read_manifest's error: retiring by part of it, or by none of
// it, would leave retired files installed.
obsolete_listing list_obsolete_files(const path_string& install_dir, const manifest_set& new_manifest, error_code& ec);

} // namespace updater
