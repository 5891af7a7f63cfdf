// Parcel::print: the readable form of a parcel, as `service call` shows a reply.
//
//   Parcel(
//     0x00000000: 00000001 00000005 006f0067 00000000 '........g.o.....')
//
// Sixteen bytes a line: the offset, four 32-bit words in hex (host byte order, as the
// values were written) and the same bytes as characters ('.' when not printable).
// An empty parcel prints "Parcel()"; a failed one "Status(-32, dead object)".
#include <quorvel/parcel.h>

#include <quorvel/text_output.h>

#include <cstring>

namespace quorvel {

namespace {

constexpr char HEX[] = "0123456789abcdef";

char* putHex(char* out, uint32_t value, int digits)
{
    for (int i = digits - 1; i >= 0; --i)
        *out++ = HEX[(value >> (4 * i)) & 0xF];
    return out;
}

} // namespace

void Parcel::print(TextOutput& to, uint32_t flags) const
{
    (void)flags;
    if (mError != OK) {
        to << "Status(" << mError << ", " << statusToString(mError) << ")";
        return;
    }
    if (mData.empty()) {
        to << "Parcel()";
        return;
    }
    to << "Parcel(";
    const size_t size = mData.size();
    for (size_t line = 0; line < size; line += 16) {
        // "\n  0x" + 8 + ": " + 4 * 9 + "'" + 16 + "'" + ")"
        char text[96];
        char* p = text;
        std::memcpy(p, "\n  0x", 5);
        p = putHex(p + 5, static_cast<uint32_t>(line), 8);
        *p++ = ':';
        *p++ = ' ';
        for (size_t word = line; word < line + 16; word += 4) {
            if (word >= size) {
                std::memset(p, ' ', 9);
                p += 9;
                continue;
            }
            const size_t n = size - word < 4 ? size - word : 4;
            uint32_t value = 0;
            std::memcpy(&value, mData.data() + word, n);
            // A tail shorter than a word shows only the bytes that are there.
            p = putHex(p, value, static_cast<int>(n * 2));
            for (size_t k = n; k < 4; ++k) {
                *p++ = ' ';
                *p++ = ' ';
            }
            *p++ = ' ';
        }
        *p++ = '\'';
        for (size_t i = line; i < line + 16 && i < size; ++i) {
            const uint8_t c = mData[i];
            *p++ = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
        }
        *p++ = '\'';
        to.write(text, static_cast<size_t>(p - text));
    }
    to << ")";
}

} // namespace quorvel
