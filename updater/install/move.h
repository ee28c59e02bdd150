// Moving one file or folder with retries.
#pragma once

#include "updater/fs/error.h"
#include "updater/fs/fs.h"
#include "updater/fs/path.h"

namespace updater {

// The patience of a move, for every step that must wait out a file held for a moment by another
// program: this many attempts, with a pause of 200 ms on the monotonic clock after each failure.
inline constexpr int attempts_per_move = 10;
void pause_after_failed_attempt();

// Creates the parent directories of to (no attempt when that fails), then renames from to to: up to
// 10 attempts with a 200 ms pause after each failure. With fs::existing_target::keep nothing at to
// is ever replaced: something there fails the attempt like any other error. When the rename answers
// "cross device link" the file is copied (under the same rule) and the source removed instead, and
// the call returns at once with the removal's result.
//
// Returns whether from's content stands at to: true on success, and also when a copy completed but
// the source could not be removed, so that whoever undoes the move knows that to holds its copy.
bool move_with_retry(const path_string& from, const path_string& to, fs::existing_target target, error_code& ec);

// Moves made one after another by the install or its rollback, remembering the folder that the last
// successful one went into. With the installation locked, that folder stands, so a move into it
// again skips creating the parents; in set order most files follow one another into one folder.
// Whoever removes a folder that a move may have gone into calls forget().
class move_series {
public:
    bool move(const path_string& from, const path_string& to, fs::existing_target target, error_code& ec);
    void forget() noexcept { last_folder_.clear(); }

private:
    path_string last_folder_;
};

} // namespace updater
