#include <quorvel/string16.h>

#include <cstdint>
#include <cstring>

namespace quorvel {

namespace {

constexpr char16_t REPLACEMENT = 0xFFFD;

bool isContinuation(uint8_t byte)
{
    return (byte & 0xC0) == 0x80;
}

// Decodes UTF-8 into UTF-16. Each maximal ill-formed subsequence (a stray byte, a
// sequence cut short, an overlong form, an encoded surrogate, a value past U+10FFFF)
// becomes one U+FFFD, so a broken byte never swallows the valid text after it.
std::u16string decodeUtf8(const uint8_t* in, size_t length)
{
    std::u16string out;
    out.reserve(length);
    size_t i = 0;
    while (i < length) {
        const uint8_t lead = in[i];
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        size_t need;
        uint32_t cp;
        // The accepted range of the second byte depends on the lead byte; that is what
        // rules out overlong forms, surrogates and values past U+10FFFF.
        uint8_t low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2;
            cp = lead & 0x0F;
            if (lead == 0xE0)
                low = 0xA0;
            else if (lead == 0xED)
                high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3;
            cp = lead & 0x07;
            if (lead == 0xF0)
                low = 0x90;
            else if (lead == 0xF4)
                high = 0x8F;
        } else {
            out.push_back(REPLACEMENT);
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool valid = true;
        for (size_t k = 0; k < need; ++k, ++j) {
            if (j >= length) {
                valid = false;
                break;
            }
            const uint8_t byte = in[j];
            const bool inRange = k == 0 ? (byte >= low && byte <= high) : isContinuation(byte);
            if (!inRange) {
                valid = false;
                break;
            }
            cp = (cp << 6) | (byte & 0x3F);
        }
        if (!valid) {
            out.push_back(REPLACEMENT);
            i = j; // the bytes consumed so far form one ill-formed subsequence
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i = j;
    }
    return out;
}

} // namespace

String16::String16(const char* utf8)
    : String16(utf8, utf8 ? std::strlen(utf8) : 0)
{
}

String16::String16(const char* utf8, size_t length)
{
    if (utf8)
        mUnits = decodeUtf8(reinterpret_cast<const uint8_t*>(utf8), length);
}

} // namespace quorvel
