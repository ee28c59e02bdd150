// Moving one file or folder with retries.
#pragma once

#include "updater/fs/error.h"
#include "updater/fs/path.h"

namespace updater {

// Creates the parent directories of to (no attempt when that fails), then renames from to to,
// replacing a file there: up to 10 attempts with a 200 ms pause after each failure. When the
// rename answers "cross device link" the file is copied and the source removed instead, and the
// call returns at once with the removal's result.
void move_with_retry(const path_string& from, const path_string& to, error_code& ec);

// Moves made one after another by the install or its rollback, remembering the folder that the last
// successful one went into. With the installation locked, that folder stands, so a move into it
// again skips creating the parents; in set order most files follow one another into one folder.
// Whoever removes a folder that a move may have gone into calls forget().
class move_series {
public:
    void move(const path_string& from, const path_string& to, error_code& ec);
    void forget() noexcept { last_folder_.clear(); }

private:
    path_string last_folder_;
};

} // namespace updater
