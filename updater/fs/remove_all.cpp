// The removal of a whole tree, written once over each backend's single pass.
#include "updater/clock/clock.h"
#include "updater/fs/fs.h"

namespace updater::fs {

namespace {

constexpr int remove_all_tries = 10;
// A deletion that another process's handle keeps pending, or a scanner's look at a file, usually
// ends within milliseconds: the tries are spread over a moment instead of made back to back.
constexpr std::chrono::milliseconds pause_between_tries{10};

} // namespace

void remove_all(const path_string& path, error_code& ec)
{
    remove(path, ec);
    if (!detail::is_not_empty(ec))
        return;
    for (int attempt = 1;; ++attempt) {
        detail::remove_tree(path, ec);
        if (!detail::is_retried_by_remove_all(ec) || attempt == remove_all_tries)
            return;
        sleep_for(pause_between_tries);
    }
}

} // namespace updater::fs
