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

// How a sequence that starts with a given lead byte goes on: how many continuation
// bytes follow, the bits the lead carries, and the range the first continuation byte
// must lie in, which is what rules out overlong forms, surrogates and values past
// U+10FFFF.
struct SequenceStart {
    size_t need;
    uint32_t bits;
    uint8_t low = 0x80;
    uint8_t high = 0xBF;
};

// False for a byte that starts no sequence: a continuation byte, C0, C1, F5 to FF.
bool sequenceStart(uint8_t lead, SequenceStart* start)
{
    if (lead >= 0xC2 && lead <= 0xDF) {
        *start = SequenceStart{1, lead & 0x1Fu};
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        *start = SequenceStart{2, lead & 0x0Fu};
        if (lead == 0xE0)
            start->low = 0xA0;
        else if (lead == 0xED)
            start->high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        *start = SequenceStart{3, lead & 0x07u};
        if (lead == 0xF0)
            start->low = 0x90;
        else if (lead == 0xF4)
            start->high = 0x8F;
    } else {
        return false;
    }
    return true;
}

// Reads the continuation bytes of the sequence whose lead is at in[*i] and moves *i
// past the bytes it took. False when the sequence is cut short or broken: the bytes
// taken up to there form one ill-formed subsequence.
bool readSequence(const uint8_t* in, size_t length, size_t* i, const SequenceStart& start, uint32_t* cp)
{
    uint32_t value = start.bits;
    size_t j = *i + 1;
    for (size_t k = 0; k < start.need; ++k, ++j) {
        const bool inRange =
            j < length && (k == 0 ? (in[j] >= start.low && in[j] <= start.high) : isContinuation(in[j]));
        if (!inRange) {
            *i = j;
            return false;
        }
        value = (value << 6) | (in[j] & 0x3F);
    }
    *i = j;
    *cp = value;
    return true;
}

void appendCodePoint(std::u16string* out, uint32_t cp)
{
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out->push_back(static_cast<char16_t>(cp));
    }
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
        SequenceStart start{0, 0};
        uint32_t cp = 0;
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
        } else if (!sequenceStart(lead, &start)) {
            out.push_back(REPLACEMENT);
            ++i;
        } else if (readSequence(in, length, &i, start, &cp)) {
            appendCodePoint(&out, cp);
        } else {
            out.push_back(REPLACEMENT);
        }
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
