// The monotonic clock and the sleep on Windows: the performance counter and Sleep.
#include "updater/clock/clock.h"

#include <windows.h>

namespace updater {

std::chrono::nanoseconds monotonic_now() noexcept
{
    // The frequency is fixed at boot; it never fails from Windows XP on.
    static const long long frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return value.QuadPart;
    }();
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    // Whole seconds and the rest apart, so that the product cannot overflow.
    const long long seconds = count.QuadPart / frequency;
    const long long rest = count.QuadPart % frequency;
    return std::chrono::seconds(seconds) + std::chrono::nanoseconds(rest * 1'000'000'000 / frequency);
}

void sleep_for(std::chrono::milliseconds duration) noexcept { Sleep(static_cast<DWORD>(duration.count())); }

} // namespace updater
