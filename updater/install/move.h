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

} // namespace updater
