// The installed files that an update retires: installed manifest entries that the new manifest
// lacks, apart from the user's folder.
#include "updater/manifest/obsolete.h"

#include "updater/manifest/staged_tree.h"

namespace updater {

obsolete_listing list_obsolete_files(const path_string& install_dir, const manifest_set& new_manifest, error_code& ec)
{
    obsolete_listing listing;
    listing.installed_manifest = read_manifest(install_dir, ec);
    // None installed means nothing to retire, but an open that answers "not found" for a manifest
    // that the listing shows would leave every retired file installed and unlisted.
    if (ec && (!is_not_found(ec) || fs::is_listed(join_path(install_dir, manifest_name()))))
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
