// Windows tests only: one entry of the backends' call table swapped for the life of an object, in
// the test's own process, and put back when it ends. The replacement is a plain function (a lambda
// without captures); original() is the entry it replaced, for a replacement that passes calls on.
#pragma once

#include "updater/os_calls/win32.h"

#include <type_traits>

namespace updater::test {

template <class Function> class call_override {
public:
    using table = os_calls::win32_call_table;

    call_override(Function table::*entry, std::type_identity_t<Function> replacement) noexcept
        : entry_(entry), original_(os_calls::win32_calls().*entry)
    {
        os_calls::win32_calls().*entry_ = replacement;
    }
    call_override(const call_override&) = delete;
    call_override& operator=(const call_override&) = delete;
    ~call_override() { os_calls::win32_calls().*entry_ = original_; }

    Function original() const noexcept { return original_; }

private:
    Function table::*entry_;
    Function original_;
};

} // namespace updater::test
