// Argument 1 as a process id, against a reference model written the plain way: the C library's
// classification of white space and digits, and the digit string compared with the largest value
// as text before it is converted.
#include "updater/run.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

std::uint32_t reference_app_pid(std::string_view text)
{
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        negative = text[at++] == '-';
    std::string digits;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])))
        digits += text[at++];
    digits.erase(0, digits.find_first_not_of('0'));
    if (digits.empty())
        return 0;
    // Too large for 32 bits: the largest value, whatever the sign (the C library's strtoul rule).
    const std::string largest = "4294967295";
    if (digits.size() > largest.size() || (digits.size() == largest.size() && digits > largest))
        return 4294967295u;
    const auto value = static_cast<std::uint32_t>(std::stoull(digits));
    return negative ? static_cast<std::uint32_t>(0u - value) : value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::uint32_t got = updater::parse_app_pid(text);
    const std::uint32_t expected = reference_app_pid(text);
    if (got != expected) {
        std::fprintf(stderr, "parse_app_pid gave %u, the reference %u\n", got, expected);
        std::abort();
    }
    return 0;
}
