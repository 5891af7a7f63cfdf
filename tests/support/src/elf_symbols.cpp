#include <test_support/elf_symbols.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace quorvel::elf {

namespace {

constexpr std::uint32_t SECTION_DYNSYM = 11;
constexpr std::uint32_t SECTION_STRTAB = 3;
constexpr unsigned char MAGIC[] = {0x7f, 'E', 'L', 'F'};

// Bounds-checked little-endian reads. Every offset and size comes from the file, so
// every access goes through here and fails instead of reading past the buffer.
class Reader {
public:
    explicit Reader(std::span<const unsigned char> bytes)
        : mBytes(bytes)
    {
    }

    bool fits(std::uint64_t offset, std::uint64_t length) const
    {
        return offset <= mBytes.size() && length <= mBytes.size() - offset;
    }
    std::uint64_t read(std::uint64_t offset, unsigned width) const
    {
        std::uint64_t value = 0;
        for (unsigned i = 0; i < width; ++i)
            value |= std::uint64_t{mBytes[offset + i]} << (8 * i);
        return value;
    }

private:
    std::span<const unsigned char> mBytes;
};

struct Section {
    std::uint32_t type = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint32_t link = 0;
    std::uint64_t entrySize = 0;
};

// Field offsets and widths of the two ELF classes.
struct Layout {
    unsigned headerSize, sectionTableOffsetAt, sectionTableOffsetWidth;
    unsigned sectionEntrySizeAt, sectionCountAt;
    unsigned shTypeAt, shOffsetAt, shSizeAt, shLinkAt, shEntrySizeAt, wordWidth;
    unsigned symbolSize, stValueAt, stSizeAt, stInfoAt, stOtherAt, stSectionAt;
};

constexpr Layout LAYOUT_32{52, 32, 4, 46, 48, 4, 16, 20, 24, 36, 4, 16, 4, 8, 12, 13, 14};
constexpr Layout LAYOUT_64{64, 40, 8, 58, 60, 4, 24, 32, 40, 56, 8, 24, 8, 16, 4, 5, 6};

std::optional<Image> fail(std::string* error, const std::string& reason)
{
    if (error)
        *error = reason;
    return std::nullopt;
}

} // namespace

const Symbol* Image::findDefined(const std::string& name) const
{
    for (const Symbol& symbol : dynamicSymbols)
        if (symbol.name == name && symbol.section != 0)
            return &symbol;
    return nullptr;
}

std::optional<Image> parse(std::span<const unsigned char> bytes, std::string* error)
{
    const Reader in(bytes);
    if (!in.fits(0, 16) || std::memcmp(bytes.data(), MAGIC, sizeof MAGIC) != 0)
        return fail(error, "not an ELF file");
    Image image;
    image.elfClass = bytes[4];
    if (image.elfClass != CLASS_32 && image.elfClass != CLASS_64)
        return fail(error, "unknown ELF class " + std::to_string(image.elfClass));
    if (bytes[5] != 1)
        return fail(error, "not a little-endian ELF file");
    const Layout& l = image.elfClass == CLASS_32 ? LAYOUT_32 : LAYOUT_64;
    if (!in.fits(0, l.headerSize))
        return fail(error, "truncated ELF header");

    image.machine = static_cast<std::uint16_t>(in.read(18, 2));
    const std::uint64_t tableOffset = in.read(l.sectionTableOffsetAt, l.sectionTableOffsetWidth);
    const std::uint64_t entrySize = in.read(l.sectionEntrySizeAt, 2);
    const std::uint64_t count = in.read(l.sectionCountAt, 2);
    if (entrySize < l.shEntrySizeAt + l.wordWidth)
        return fail(error, "section header entries too small");
    if (count == 0 || !in.fits(tableOffset, entrySize * count))
        return fail(error, "section header table outside the file");

    std::vector<Section> sections(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t at = tableOffset + i * entrySize;
        Section& s = sections[i];
        s.type = static_cast<std::uint32_t>(in.read(at + l.shTypeAt, 4));
        s.offset = in.read(at + l.shOffsetAt, l.wordWidth);
        s.size = in.read(at + l.shSizeAt, l.wordWidth);
        s.link = static_cast<std::uint32_t>(in.read(at + l.shLinkAt, 4));
        s.entrySize = in.read(at + l.shEntrySizeAt, l.wordWidth);
    }

    const Section* symbols = nullptr;
    for (const Section& s : sections)
        if (s.type == SECTION_DYNSYM)
            symbols = &s;
    if (!symbols)
        return fail(error, "no dynamic symbol table");
    if (symbols->entrySize != l.symbolSize)
        return fail(error, "dynamic symbol entries of unexpected size");
    if (!in.fits(symbols->offset, symbols->size) || symbols->size % l.symbolSize != 0)
        return fail(error, "dynamic symbol table outside the file");
    if (symbols->link >= sections.size() || sections[symbols->link].type != SECTION_STRTAB)
        return fail(error, "dynamic symbol table without a string table");
    const Section& names = sections[symbols->link];
    if (!in.fits(names.offset, names.size))
        return fail(error, "dynamic string table outside the file");

    for (std::uint64_t at = symbols->offset; at < symbols->offset + symbols->size; at += l.symbolSize) {
        Symbol symbol;
        const std::uint64_t nameAt = in.read(at, 4);
        if (nameAt >= names.size)
            return fail(error, "symbol name outside the string table");
        const auto* first = bytes.data() + names.offset + nameAt;
        const auto* end = bytes.data() + names.offset + names.size;
        const auto* nul =
            static_cast<const unsigned char*>(std::memchr(first, 0, static_cast<std::size_t>(end - first)));
        if (!nul)
            return fail(error, "unterminated symbol name");
        symbol.name.assign(reinterpret_cast<const char*>(first), static_cast<std::size_t>(nul - first));
        symbol.value = in.read(at + l.stValueAt, l.wordWidth);
        symbol.size = in.read(at + l.stSizeAt, l.wordWidth);
        const auto info = static_cast<unsigned>(in.read(at + l.stInfoAt, 1));
        symbol.type = info & 0xf;
        symbol.binding = info >> 4;
        symbol.visibility = static_cast<unsigned>(in.read(at + l.stOtherAt, 1)) & 0x3;
        symbol.section = static_cast<std::uint16_t>(in.read(at + l.stSectionAt, 2));
        image.dynamicSymbols.push_back(std::move(symbol));
    }
    return image;
}

std::optional<Image> readFile(const std::string& path, std::string* error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return fail(error, "cannot open " + path + ": " + std::strerror(errno));
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::string reason;
    auto image = parse(bytes, &reason);
    if (!image)
        return fail(error, path + ": " + reason);
    return image;
}

} // namespace quorvel::elf
