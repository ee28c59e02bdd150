// The install transaction: guard, scan, manifests, pending backup, the two move phases with their
// journal, rollback on the first failed move, and the commit.
#include "updater/install/transaction.h"

#include "updater/fs/fs.h"
#include "updater/install/backup_manifest.h"
#include "updater/install/emptied_folder.h"
#include "updater/install/journal.h"
#include "updater/install/move.h"
#include "updater/layout.h"
#include "updater/manifest/manifest.h"
#include "updater/manifest/obsolete.h"
#include "updater/manifest/staged_tree.h"
#include "updater/refusal.h"

#include <optional>

namespace updater {

namespace {

// Whether a file the update retires is there. A query that fails otherwise than "not found" stops
// the install. A "not found" is checked against a listing of the file's folder, another call: one
// wrong answer (a racing process, a share that hiccuped) must not leave a retired file installed
// and unlisted, with no backup of it.
bool is_present(const path_string& place, error_code& ec)
{
    if (fs::exists(fs::status(place, ec)) || ec)
        return !ec;
    return fs::is_listed(place);
}

// A folder whose files were all retired, at the place of a staged file: its files already wait in
// the pending backup under the same folder name, so it cannot move there whole. When it holds no
// file any more it is removed instead, and a rollback recreates it when those files come back.
bool remove_retired_folder(const path_string& installed, const path_string& backup)
{
    error_code ignored;
    return fs::status(backup, ignored) == fs::file_type::directory && remove_emptied_folder(installed);
}

// The folder part of rel: without its last element and the separators before it; empty for a
// top-level file.
path_view folder_of(path_view rel) noexcept
{
    std::size_t end = rel.size();
    while (end > 0 && !is_separator(rel[end - 1]))
        --end;
    while (end > 0 && is_separator(rel[end - 1]))
        --end;
    return rel.substr(0, end);
}

// The highest of the folders above rel that install_dir lacks, empty when they are all there: the
// move-in creates it, and a rollback has to take it away again. Usually the file's own folder is
// there, which one query tells.
path_string first_missing_folder(const path_string& install_dir, path_view rel, error_code& ec)
{
    ec.clear();
    const std::size_t end = folder_of(rel).size();
    if (end == 0 || fs::status(join_path(install_dir, rel.substr(0, end)), ec) != fs::file_type::not_found)
        return {};
    for (std::size_t level = 1; level <= end; ++level) {
        if ((level < end && !is_separator(rel[level])) || is_separator(rel[level - 1]))
            continue;
        const path_view folder = rel.substr(0, level);
        if (fs::status(join_path(install_dir, folder), ec) == fs::file_type::not_found)
            return path_string(folder);
        if (ec)
            return {};
    }
    return {};
}

} // namespace

bool install_staged_update(const path_string& staging_dir, const path_string& install_dir, error_code& ec)
{
    if (has_leftover_backup(install_dir)) {
        ec = generic_error(generic_file_exists);
        return false;
    }

    manifest_set staged_files = scan_staged_tree(staging_dir, ec);
    if (ec)
        return false;
    if (staged_files.empty()) {
        ec = generic_error(generic_invalid_argument);
        return false;
    }
    manifest_set new_manifest = prepare_new_manifest(staging_dir, staged_files, ec);
    if (ec)
        return false;
    obsolete_listing listing = list_obsolete_files(install_dir, new_manifest, ec);
    if (ec)
        return false;

    const path_string backup_dir = backup_dir_of(install_dir);
    const path_string pending_backup_dir = pending_backup_dir_of(install_dir);
    // Absent or empty here (the guard refused anything else), so a plain removal suffices.
    fs::remove(pending_backup_dir, ec);
    if (ec)
        return false;
    fs::create_directories(pending_backup_dir, ec);
    if (ec)
        return false;

    const bool backup_manifest_written = listing.installed_manifest.empty();
    if (backup_manifest_written && !write_backup_manifest(staged_files, install_dir, pending_backup_dir, ec)) {
        error_code ignored;
        fs::remove_all(pending_backup_dir, ignored);
        ec = generic_error(generic_io_error);
        return false;
    }

    install_journal journal;
    const rollback_context context{journal, install_dir, staging_dir, pending_backup_dir};
    // Folders that move-ins created, each the highest level one of them made.
    std::vector<path_string> created_folders;
    const auto undo = [&] {
        rollback(context);
        for (auto folder = created_folders.rbegin(); folder != created_folders.rend(); ++folder)
            remove_emptied_folder(join_path(install_dir, *folder));
    };

    move_series aside; // installed files into the pending backup
    move_series in;    // staged files into the installation
    // Retired files leave first, so a path that turns from a file into a folder is free before
    // the new content arrives.
    for (const path_string& rel : listing.obsolete_files) {
        path_string installed = join_path(install_dir, rel);
        bool present = is_present(installed, ec);
        if (!ec && present)
            aside.move(installed, join_path(pending_backup_dir, rel), fs::existing_target::keep, ec);
        if (ec) {
            undo();
            return false;
        }
        if (present)
            journal.push_back({rel, true, false});
    }

    // The folder that the last move-in went into stands, so the files that follow it into the same
    // folder (in set order they mostly follow one another) make no folder, and that needs no query.
    std::optional<path_view> moved_into;
    for (const path_string& rel : staged_files) {
        path_string installed = join_path(install_dir, rel);
        // The entry itself: a link, also one that points at nothing, is there and moves aside as
        // itself, so that the move-in does not find it in its way.
        fs::file_type type = fs::symlink_status(installed, ec);
        // Asked before anything moves: a file moved aside has to reach the journal at once.
        path_string created;
        if (!ec && moved_into != folder_of(rel))
            created = first_missing_folder(install_dir, rel, ec);
        bool present = fs::exists(type);
        if (!ec && present) {
            path_string backup = join_path(pending_backup_dir, rel);
            if (type == fs::file_type::directory && remove_retired_folder(installed, backup)) {
                present = false;
                in.forget();
            } else {
                // Nothing is replaced but the backup manifest that was just written in place of an
                // installed manifest without a valid entry: that file itself is its backup.
                const bool onto_backup_manifest = backup_manifest_written && rel == manifest_name();
                aside.move(installed, backup,
                           onto_backup_manifest ? fs::existing_target::replace : fs::existing_target::keep, ec);
            }
        }
        if (ec) {
            undo();
            return false;
        }
        if (!created.empty())
            created_folders.push_back(std::move(created));
        journal.push_back({rel, present, false});
        // The place is free: the query found nothing or the move aside just emptied it. Whatever
        // stands there after all (a query that answered wrongly, a file that appeared since) must
        // not be replaced, since nothing backs it up.
        journal.back().moved_in = in.move(join_path(staging_dir, rel), installed, fs::existing_target::keep, ec);
        if (ec) {
            undo();
            return false;
        }
        moved_into = folder_of(rel);
    }

    // The commit: its steps cannot undo the install, so their failures are not examined. A scanner
    // or indexer that holds a file of the previous backup, or of the new one, for a moment would
    // leave the pending backup behind, and with it a refusal of every later update: the removal
    // and the rename get the patience of a move.
    error_code ignored;
    for (int attempt = 0; attempt < attempts_per_move; ++attempt) {
        fs::remove_all(backup_dir, ignored);
        if (!ignored)
            fs::rename(pending_backup_dir, backup_dir, fs::existing_target::keep, ignored);
        if (!ignored)
            break;
        pause_after_failed_attempt();
    }
    // When staging_dir is the new backup itself, it stays; so does a staging_dir that cannot be
    // told apart from it, since removing the new backup by mistake would lose the previous version.
    // Where either is missing they are not the same.
    const bool is_new_backup = fs::equivalent(staging_dir, backup_dir, ignored);
    if (!is_new_backup && (!ignored || is_not_found(ignored)))
        fs::remove_all(staging_dir, ignored);
    ec = system_error(0);
    return true;
}

} // namespace updater
