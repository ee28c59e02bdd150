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

obsolete_listing list_obsolete_files(const path_string& install_dir, const manifest_set& new_manifest);

} // namespace updater
