// The target kernel's parsing of LED attribute writes, as ledsim stores them.
#include "kernel_value.h"

#include <errno.h>

#include <algorithm>
#include <cstdint>

namespace ledsim {

namespace {

// The kernel's decimal parser: digits, then at most one newline. An overflow is
// -ERANGE even when other bytes follow; no digits or anything else is -EINVAL.
int parseDecimal(std::string_view text, uint64_t& value)
{
    uint64_t result = 0;
    bool overflow = false;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const auto digit = static_cast<uint64_t>(text[i] - '0');
        if (result > (UINT64_MAX - digit) / 10)
            overflow = true;
        else
            result = result * 10 + digit;
    }
    if (overflow)
        return -ERANGE;
    if (i == 0)
        return -EINVAL;
    if (i < text.size() && text[i] == '\n')
        ++i;
    if (i != text.size())
        return -EINVAL;
    value = result;
    return 0;
}

const unsigned MAX_BRIGHTNESS = 255;

} // namespace

int storedValue(std::string_view path, std::string_view bytes, std::string& stored)
{
    // sysfs hands the attribute a C string: it ends at the first NUL.
    std::string_view text = bytes.substr(0, bytes.find('\0'));
    uint64_t magnitude = 0;
    if (path.ends_with("/brightness")) {
        if (text.starts_with('+'))
            text.remove_prefix(1);
        if (const int status = parseDecimal(text, magnitude); status != 0)
            return status;
        if (magnitude > UINT32_MAX)
            return -ERANGE;
        stored = std::to_string(std::min<uint64_t>(magnitude, MAX_BRIGHTNESS)) + "\n";
        return 0;
    }
    const bool negative = text.starts_with('-');
    if (negative || text.starts_with('+'))
        text.remove_prefix(1);
    // After a minus sign the kernel takes no plus sign.
    if (negative && text.starts_with('+'))
        return -EINVAL;
    if (const int status = parseDecimal(text, magnitude); status != 0)
        return status;
    const uint64_t limit = negative ? uint64_t{1} << 31 : uint64_t{INT32_MAX};
    if (magnitude > limit)
        return -ERANGE;
    const int64_t value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    stored = std::to_string(value) + "\n";
    return 0;
}

} // namespace ledsim
