// Clearing a place that only an emptied folder stands on.
#pragma once

#include "updater/fs/path.h"

namespace updater {

// Removes the folder at path when it holds no file or link at any depth, only folders; true when it
// was removed. A folder left behind by moves (all its files moved away) carries nothing that a
// rollback or a later move needs, but it blocks a file from taking its place.
bool remove_emptied_folder(const path_string& path);

} // namespace updater
