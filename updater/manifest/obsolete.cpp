// The installed files that an update retires: installed manifest entries that the new manifest
// lacks, apart from the user's folder.
#include "updater/manifest/obsolete.h"

#include "updater/manifest/staged_tree.h"

namespace updater {

obsolete_listing list_obsolete_files(const path_string& install_dir, const manifest_set& new_manifest, error_code& ec)
{
    obsolete_listing listing;
    listing.installed_manifest = read_manifest(install_dir, ec);
    if (ec && !is_not_found(ec))
        return listing;
    ec.clear();
    for (const path_string& entry : listing.installed_manifest) {
        if (new_manifest.contains(entry) || is_user_path(entry))
            continue;
        listing.obsolete_files.push_back(entry);
    }
    return listing;
}

} // namespace updater
