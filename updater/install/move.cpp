// The retrying move: renames that wait out a file held open for a moment by another program
// (a virus scanner, an indexer, the application's last child process), and a copy where a rename
// cannot cross volumes.
#include "updater/install/move.h"

#include "updater/clock/clock.h"
#include "updater/fs/fs.h"

#include <algorithm>

namespace updater {

namespace {

constexpr std::chrono::milliseconds pause_after_failure{200};
constexpr std::chrono::milliseconds longest_sleep = std::chrono::hours{24};

} // namespace

// Sleeps until a deadline on the monotonic clock, so that a sleep that ends early is made up for
// and a change of the wall-clock time does not matter.
void pause_after_failed_attempt()
{
    const auto start = monotonic_now();
    const auto deadline = start > monotonic_max - pause_after_failure ? monotonic_max : start + pause_after_failure;
    for (auto now = monotonic_now(); now < deadline; now = monotonic_now())
        sleep_for(std::min(std::chrono::ceil<std::chrono::milliseconds>(deadline - now), longest_sleep));
}

namespace {

// The attempts of a move whose parent folders stand.
bool rename_with_retry(const path_string& from, const path_string& to, fs::existing_target target, error_code& ec)
{
    for (int attempt = 0; attempt < attempts_per_move; ++attempt) {
        fs::rename(from, to, target, ec);
        if (!ec)
            return true;
        if (ec == cross_device_link()) {
            fs::copy_file(from, to, target, ec);
            if (!ec) {
                // Not retried: to already holds the whole file, and the caller treats a failed
                // removal like any other failed move.
                fs::remove(from, ec);
                return true;
            }
        }
        pause_after_failed_attempt();
    }
    return false;
}

} // namespace

bool move_with_retry(const path_string& from, const path_string& to, fs::existing_target target, error_code& ec)
{
    fs::create_directories(path_string(parent_path(to)), ec);
    return !ec && rename_with_retry(from, to, target, ec);
}

bool move_series::move(const path_string& from, const path_string& to, fs::existing_target target, error_code& ec)
{
    const path_view folder = parent_path(to);
    const bool arrived = !last_folder_.empty() && folder == last_folder_ ? rename_with_retry(from, to, target, ec)
                                                                         : move_with_retry(from, to, target, ec);
    if (ec)
        last_folder_.clear();
    else
        last_folder_.assign(folder);
    return arrived;
}

} // namespace updater
