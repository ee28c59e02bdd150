// A path that cannot be deleted on Linux: made immutable.
#include "support/undeletable.h"

#include "support/test_support.h"

#include <cstdlib>

#include <cerrno>

namespace updater::test {

undeletable_path::undeletable_path(const std::filesystem::path& path) : path_(path)
{
    held_ = std::system(("chattr +i " + shell_quoted(path) + " 2>/dev/null").c_str()) == 0;
}

undeletable_path::~undeletable_path()
{
    if (held_)
        std::system(("chattr -i " + shell_quoted(path_)).c_str());
}

error_code undeletable_path::deletion_error() { return system_error(EPERM); }

} // namespace updater::test
