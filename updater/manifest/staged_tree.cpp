// The scan of the staging folder, the "user" rule, and the update's manifest.
#include "updater/manifest/staged_tree.h"

namespace updater {

namespace {

// A link's target resolved outside the staging folder: on another volume (empty), rooted, or
// climbing out. Installing it would reach outside both folders.
bool leaves_folder(path_view rel) noexcept
{
    return rel.empty() || !root_name(rel).empty() || is_separator(rel[0]) || has_dot_element(rel);
}

// On POSIX "\" is an ordinary character of a name, but a manifest and every relative path of
// the install read it as a separator, so such a file would be listed and moved as another one.
bool holds_backslash_in_name(path_view rel) noexcept
{
    return !windows_path_rules && rel.find(path_char('\\')) != path_view::npos;
}

} // namespace

bool is_user_path(path_view rel)
{
    std::size_t end = 0;
    while (end < rel.size() && !is_separator(rel[end]))
        ++end;
    std::string narrow;
    if (end == 0 || !fs::to_narrow(rel.substr(0, end), narrow) || narrow.size() != 4)
        return false;
    static constexpr char user[] = "user";
    for (std::size_t i = 0; i < 4; ++i) {
        char c = narrow[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != user[i])
            return false;
    }
    return true;
}

manifest_set scan_staged_tree(const path_string& staging_dir, error_code& ec)
{
    manifest_set staged_files;
    fs::directory_iteration entry(staging_dir, fs::iteration_mode::recursive, ec);
    if (ec)
        return {};
    // Resolved once: a link's target is made relative to it, while an ordinary entry's relative
    // path comes from the walk itself and equals what resolving it would give, because the walk
    // enters no links.
    path_string resolved_dir = fs::weakly_canonical(staging_dir, ec);
    if (ec)
        return {};

    path_string resolved;
    for (; !entry.at_end(); entry.advance(ec)) {
        path_view rel;
        switch (entry.type()) {
        case fs::file_type::regular:
            rel = entry.relative_path();
            break;
        case fs::file_type::directory:
            continue;
        default: {
            // A link, or an entry whose own type the listing could not tell.
            fs::file_type target = fs::status(entry.path(), ec);
            if (ec)
                return {};
            if (target != fs::file_type::regular)
                continue; // a directory, a dangling link (not found), a device
            path_string canonical = fs::weakly_canonical(entry.path(), ec);
            if (ec)
                return {};
            resolved = lexically_relative(canonical, resolved_dir);
            if (leaves_folder(resolved))
                continue;
            rel = resolved;
            break;
        }
        }
        if (holds_backslash_in_name(rel)) {
            ec = generic_error(generic_invalid_argument);
            return {};
        }
        if (is_user_path(rel) || compare_manifest_paths(rel, manifest_name()) == 0)
            continue;
        staged_files.emplace(rel);
    }
    if (ec)
        return {};
    return staged_files;
}

manifest_set prepare_new_manifest(const path_string& staging_dir, manifest_set& staged_files, error_code& ec)
{
    error_code read_ec;
    manifest_set new_manifest = read_manifest(staging_dir, read_ec);
    // A staged manifest that exists but cannot be read in full is not the same as none: a manifest
    // written from the scan instead would retire installed files that the new version keeps
    // without staging them, and replace the update's own. So an open that answers "not found"
    // is believed only when the listing agrees.
    if (read_ec && (!is_not_found(read_ec) || fs::is_listed(join_path(staging_dir, manifest_name())))) {
        ec = generic_error(generic_io_error);
        return {};
    }
    if (new_manifest.empty()) {
        new_manifest = staged_files;
        write_manifest(join_path(staging_dir, manifest_name()), staged_files, ec);
        if (ec)
            return {};
    }
    staged_files.insert(manifest_name());
    ec.clear();
    return new_manifest;
}

} // namespace updater
