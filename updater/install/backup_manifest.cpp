// The manifest of an installation that has none, so that the committed backup says which files
// belonged to the previous version.
#include "updater/install/backup_manifest.h"

#include "updater/fs/fs.h"
#include "updater/manifest/staged_tree.h"

#include <algorithm>
#include <type_traits>

namespace updater {

namespace {

// Names outside ASCII are left out: their narrow form would depend on the code page.
bool is_ascii(path_view text)
{
    return std::all_of(text.begin(), text.end(),
                       [](path_char c) { return static_cast<std::make_unsigned_t<path_char>>(c) <= 127; });
}

// Whether the entry is a regular file once links are followed. The listing's own type answers
// except for links and entries it could not tell; a failed query counts as not regular.
bool is_regular_file(const fs::directory_iteration& entry)
{
    switch (entry.type()) {
    case fs::file_type::regular:
        return true;
    case fs::file_type::symlink:
    case fs::file_type::junction:
    case fs::file_type::none: {
        error_code ignored;
        return fs::status(entry.path(), ignored) == fs::file_type::regular;
    }
    default:
        return false;
    }
}

// The first elements of the staged paths that have more than one: the top-level folders the
// update brings files into.
manifest_set top_level_folders(const manifest_set& staged_files)
{
    manifest_set folders;
    for (const path_string& path : staged_files) {
        const auto first_end = std::find_if(path.begin(), path.end(), is_separator);
        if (first_end != path.end())
            folders.emplace(path.begin(), first_end);
    }
    return folders;
}

// Every regular file below folder with an ASCII path. A folder that cannot be listed to its end
// contributes the files found until then.
void list_folder(const path_string& folder, const path_string& install_dir, manifest_writer& out)
{
    error_code listing_ec;
    for (fs::directory_iteration entry(folder, fs::iteration_mode::recursive, listing_ec);
         !listing_ec && !entry.at_end(); entry.advance(listing_ec)) {
        if (!is_regular_file(entry))
            continue;
        const path_string relative = lexically_relative(entry.path(), install_dir);
        if (is_ascii(relative))
            out.add(relative);
    }
}

} // namespace

bool write_backup_manifest(const manifest_set& staged_files, const path_string& install_dir,
                           const path_string& pending_backup_dir, error_code& ec)
{
    const manifest_set staged_top_dirs = top_level_folders(staged_files);
    // A failed open shows when the writer finishes; the scan runs all the same.
    manifest_writer out(join_path(pending_backup_dir, manifest_name()));

    fs::directory_iteration entry(install_dir, fs::iteration_mode::plain, ec);
    for (; !ec && !entry.at_end(); entry.advance(ec)) {
        const path_view name = entry.relative_path();
        // The leading "." keeps the helper's own backups, staging folder and log out.
        if (!is_ascii(name) || name.starts_with(path_char('.')) || is_user_path(name))
            continue;
        if (is_regular_file(entry))
            out.add(name);
        else if (staged_top_dirs.contains(name))
            list_folder(entry.path(), install_dir, out);
    }
    if (ec) {
        error_code ignored;
        out.finish(ignored);
        return false;
    }
    out.finish(ec);
    return !ec;
}

} // namespace updater
