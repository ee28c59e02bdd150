// The monotonic clock and the sleep on POSIX: CLOCK_MONOTONIC for both.
#include "updater/clock/clock.h"

#include <cerrno>
#include <time.h>

namespace updater {

std::chrono::nanoseconds monotonic_now() noexcept
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

void sleep_for(std::chrono::milliseconds duration) noexcept
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    timespec remaining{};
    remaining.tv_sec = static_cast<time_t>(seconds.count());
    remaining.tv_nsec = static_cast<long>(std::chrono::nanoseconds(duration - seconds).count());
    // A signal handler cuts the sleep short; the kernel leaves the rest in remaining.
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &remaining, &remaining) == EINTR) {
    }
}

} // namespace updater
