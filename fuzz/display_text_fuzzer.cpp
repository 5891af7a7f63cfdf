// Fuzzes the `service` tool's display text conversion, toAsciiString8, on arbitrary
// UTF-16 text, and String16's UTF-8 decoding that makes names from command lines.
// The display text must hold one byte per non-zero unit: the unit itself when it is
// printable ASCII (32 to 126), '?' otherwise.
#include <display_text.h>

#include <quorvel/string16.h>
#include <quorvel/string8.h>

#include "fuzz_support.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

using quorvel::fuzz::check;

void checkDisplayText(const quorvel::String16& text)
{
    const quorvel::String8 shown = servicetool::toAsciiString8(text);
    const char* out = shown.string();
    size_t at = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit == 0)
            continue;
        check(at < shown.length());
        check(out[at] == (unit >= 0x20 && unit < 0x7F ? static_cast<char>(unit) : '?'));
        ++at;
    }
    check(at == shown.length() && std::strlen(out) == shown.length());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    // The bytes as UTF-16 units, as a name or descriptor arrives in a reply.
    std::u16string units(size / 2, u'\0');
    std::memcpy(units.data(), bytes, units.size() * 2);
    checkDisplayText(quorvel::String16(std::move(units)));

    // The bytes as UTF-8, as a name arrives on the command line. Valid UTF-8 that
    // is printable ASCII must come back unchanged.
    const quorvel::String16 decoded(reinterpret_cast<const char*>(bytes), size);
    checkDisplayText(decoded);
    bool ascii = true;
    for (size_t i = 0; i < size; ++i)
        ascii = ascii && (bytes[i] == 0 || (bytes[i] >= 0x20 && bytes[i] < 0x7F));
    if (ascii) {
        const std::string original(reinterpret_cast<const char*>(bytes), size);
        std::string withoutZeros;
        for (char c : original)
            if (c != 0)
                withoutZeros += c;
        check(decoded.size() == size && withoutZeros == servicetool::toAsciiString8(decoded).string());
    }
    // A decoded text never holds more units than the bytes it came from.
    check(decoded.size() <= size);
    return 0;
}
