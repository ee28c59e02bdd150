// Undoing the moves of a failed install, newest first.
#include "updater/install/journal.h"

#include "updater/fs/fs.h"
#include "updater/install/emptied_folder.h"
#include "updater/install/move.h"

namespace updater {

void rollback(const rollback_context& context)
{
    bool every_restore_succeeded = true;
    move_series back_to_staging;
    move_series restores;
    for (auto entry = context.journal.rbegin(); entry != context.journal.rend(); ++entry) {
        const path_string installed_place = join_path(context.install_dir, entry->relative_path);
        // The new file leaves first, so that the old one can take its place.
        bool place_is_free = false;
        if (entry->moved_in) {
            // Replacing is safe here: whatever stands at the staged place is the update's own (the
            // source of a copy that could not be removed), never a file of the installation.
            error_code move_ec;
            back_to_staging.move(installed_place, join_path(context.staging_dir, entry->relative_path),
                                 fs::existing_target::replace, move_ec);
            place_is_free = !move_ec;
        }
        if (entry->moved_in && !entry->backed_up && !place_is_free) {
            // Nothing of the previous version stood here, and the update's file is still in it: a
            // new file that could not go back to staging_dir, or the copy of a move across volumes
            // whose source stayed. It goes, since an update can be staged again and the previous
            // version is put back as it was. A place that the move-in never reached is left
            // alone: what stands there is not the update's.
            error_code remove_ec;
            if (fs::remove(installed_place, remove_ec))
                restores.forget();
            if (remove_ec)
                every_restore_succeeded = false;
        }
        if (entry->backed_up) {
            // A file that became a folder left that folder behind when its new files went back.
            if (!place_is_free && remove_emptied_folder(installed_place))
                restores.forget();
            error_code restore_ec;
            // The one move that may replace: at the installed place stands at most the update's
            // own file, which could not go back to staging_dir.
            restores.move(join_path(context.pending_backup_dir, entry->relative_path), installed_place,
                          fs::existing_target::replace, restore_ec);
            if (restore_ec)
                every_restore_succeeded = false;
        }
    }
    // Whatever could not be restored stays in the pending backup, where the user can find it.
    if (every_restore_succeeded) {
        error_code ignored;
        fs::remove_all(context.pending_backup_dir, ignored);
    }
}

} // namespace updater
