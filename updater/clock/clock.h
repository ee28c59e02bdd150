// The monotonic clock and the sleep that time the pause between move attempts.
#pragma once

#include <chrono>

namespace updater {

// Nanoseconds since an unspecified start; never goes back and does not follow changes of the
// wall-clock time.
std::chrono::nanoseconds monotonic_now() noexcept;

// The largest reading monotonic_now can give.
inline constexpr std::chrono::nanoseconds monotonic_max = std::chrono::nanoseconds::max();

// Blocks the calling thread for at least duration, which must lie between 0 and 24 hours.
void sleep_for(std::chrono::milliseconds duration) noexcept;

} // namespace updater
