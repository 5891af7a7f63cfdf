// The ELF reader behind the layout checks: right answers on well-formed 32- and
// 64-bit images, a clean refusal (never a read past the buffer) on damaged ones.
#include <test_support/elf_symbols.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quorvel::elf {
namespace {

struct WantedSymbol {
    std::string name;
    std::uint64_t value;
    std::uint64_t size;
    unsigned type;
    unsigned binding;
    std::uint16_t section;
    unsigned visibility = 0;
};

// Offsets of the parts of an image built by ElfBuilder, so that tests can damage
// one field at a time.
struct Built {
    std::vector<unsigned char> bytes;
    std::size_t stringsOffset = 0;
    std::size_t symbolsOffset = 0;
    std::size_t sectionTableOffset = 0;
    std::size_t sectionEntrySize = 0;
};

void put(std::vector<unsigned char>& bytes, std::size_t at, std::uint64_t value, unsigned width)
{
    for (unsigned i = 0; i < width; ++i)
        bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// Lays out: ELF header, .dynstr, .dynsym, section table [null, .dynstr, .dynsym].
Built buildElf(unsigned elfClass, std::uint16_t machine, const std::vector<WantedSymbol>& symbols)
{
    const bool is32 = elfClass == CLASS_32;
    const unsigned word = is32 ? 4 : 8;
    const std::size_t headerSize = is32 ? 52 : 64;
    const std::size_t symbolSize = is32 ? 16 : 24;
    const std::size_t sectionSize = is32 ? 40 : 64;

    std::vector<unsigned char> strings{0};
    std::vector<std::size_t> nameOffsets;
    for (const auto& s : symbols) {
        nameOffsets.push_back(strings.size());
        strings.insert(strings.end(), s.name.begin(), s.name.end());
        strings.push_back(0);
    }

    Built b;
    b.stringsOffset = headerSize;
    b.symbolsOffset = b.stringsOffset + strings.size();
    b.symbolsOffset += (8 - b.symbolsOffset % 8) % 8;
    const std::size_t symbolsBytes = symbolSize * (symbols.size() + 1); // entry 0 is null
    b.sectionTableOffset = b.symbolsOffset + symbolsBytes;
    b.sectionEntrySize = sectionSize;
    b.bytes.assign(b.sectionTableOffset + 3 * sectionSize, 0);
    auto& out = b.bytes;

    // Magic, class, little-endian, version 1.
    const unsigned char ident[] = {0x7f, 'E', 'L', 'F', static_cast<unsigned char>(elfClass), 1, 1};
    std::copy(std::begin(ident), std::end(ident), out.begin());
    put(out, 16, 3, 2); // shared object
    put(out, 18, machine, 2);
    put(out, is32 ? 32 : 40, b.sectionTableOffset, word);
    put(out, is32 ? 46 : 58, sectionSize, 2);
    put(out, is32 ? 48 : 60, 3, 2);

    std::copy(strings.begin(), strings.end(), out.begin() + static_cast<std::ptrdiff_t>(b.stringsOffset));
    for (std::size_t i = 0; i < symbols.size(); ++i) {
        const auto& s = symbols[i];
        const std::size_t at = b.symbolsOffset + symbolSize * (i + 1);
        put(out, at, nameOffsets[i], 4);
        put(out, at + (is32 ? 4 : 8), s.value, word);
        put(out, at + (is32 ? 8 : 16), s.size, word);
        put(out, at + (is32 ? 12 : 4), (s.binding << 4) | s.type, 1);
        put(out, at + (is32 ? 13 : 5), s.visibility, 1);
        put(out, at + (is32 ? 14 : 6), s.section, 2);
    }

    auto section = [&](std::size_t index, std::uint32_t type, std::size_t offset, std::size_t size, std::uint32_t link,
                       std::size_t entrySize) {
        const std::size_t at = b.sectionTableOffset + index * sectionSize;
        put(out, at + 4, type, 4);
        put(out, at + (is32 ? 16 : 24), offset, word);
        put(out, at + (is32 ? 20 : 32), size, word);
        put(out, at + (is32 ? 24 : 40), link, 4);
        put(out, at + (is32 ? 36 : 56), entrySize, word);
    };
    section(1, 3, b.stringsOffset, strings.size(), 0, 0);
    section(2, 11, b.symbolsOffset, symbolsBytes, 1, symbolSize);
    return b;
}

const std::vector<WantedSymbol> LIBRARY_SYMBOLS{
    {"HMI", 0x2000, 128, TYPE_OBJECT, BINDING_GLOBAL, 7},
    {"init_globals", 0x1234, 40, TYPE_FUNC, BINDING_GLOBAL, 5},
    {"LCD_FILE", 0x2080, 4, TYPE_OBJECT, BINDING_GLOBAL, 7, 0},
    {"malloc", 0, 0, TYPE_FUNC, BINDING_GLOBAL, 0},
};

std::string classLabel(const ::testing::TestParamInfo<unsigned>& param)
{
    return param.param == CLASS_32 ? "Elf32" : "Elf64";
}

class ElfWellFormed : public ::testing::TestWithParam<unsigned> {};

TEST_P(ElfWellFormed, ReadsClassMachineAndEverySymbol)
{
    const unsigned elfClass = GetParam();
    const auto built = buildElf(elfClass, MACHINE_ARM, LIBRARY_SYMBOLS);
    std::string error;
    const auto image = parse(built.bytes, &error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->elfClass, elfClass);
    EXPECT_EQ(image->machine, MACHINE_ARM);
    // The null entry 0 is read as a nameless undefined symbol.
    ASSERT_EQ(image->dynamicSymbols.size(), LIBRARY_SYMBOLS.size() + 1);
    for (std::size_t i = 0; i < LIBRARY_SYMBOLS.size(); ++i) {
        const Symbol& got = image->dynamicSymbols[i + 1];
        const WantedSymbol& want = LIBRARY_SYMBOLS[i];
        EXPECT_EQ(got.name, want.name);
        EXPECT_EQ(got.value, want.value) << want.name;
        EXPECT_EQ(got.size, want.size) << want.name;
        EXPECT_EQ(got.type, want.type) << want.name;
        EXPECT_EQ(got.binding, want.binding) << want.name;
        EXPECT_EQ(got.section, want.section) << want.name;
    }
}

TEST_P(ElfWellFormed, FindsOnlyDefinedSymbols)
{
    const auto image = parse(buildElf(GetParam(), MACHINE_X86_64, LIBRARY_SYMBOLS).bytes, nullptr);
    ASSERT_TRUE(image);
    const Symbol* hmi = image->findDefined("HMI");
    ASSERT_NE(hmi, nullptr);
    EXPECT_EQ(hmi->size, 128u);
    EXPECT_EQ(image->findDefined("malloc"), nullptr) << "an import is not a definition";
    EXPECT_EQ(image->findDefined("HM"), nullptr);
    EXPECT_EQ(image->findDefined("HMI_"), nullptr);
}

TEST_P(ElfWellFormed, ReadsHiddenVisibility)
{
    auto symbols = LIBRARY_SYMBOLS;
    symbols.push_back({"lights_open", 0x1300, 90, TYPE_FUNC, BINDING_GLOBAL, 5, 2});
    const auto image = parse(buildElf(GetParam(), MACHINE_ARM, symbols).bytes, nullptr);
    ASSERT_TRUE(image);
    const Symbol* open = image->findDefined("lights_open");
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(open->visibility, 2u);
    EXPECT_EQ(image->findDefined("HMI")->visibility, 0u);
}

INSTANTIATE_TEST_SUITE_P(BothClasses, ElfWellFormed, ::testing::Values(CLASS_32, CLASS_64), classLabel);

class ElfDamaged : public ::testing::TestWithParam<unsigned> {
protected:
    Built built = buildElf(GetParam(), MACHINE_ARM, LIBRARY_SYMBOLS);
};

TEST_P(ElfDamaged, EveryTruncationIsRefused)
{
    // The section table is the last thing in the file, so no proper prefix is whole.
    const std::vector<unsigned char> whole = built.bytes;
    for (std::size_t length = 0; length < whole.size(); ++length) {
        const std::vector<unsigned char> prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
        std::string error;
        EXPECT_FALSE(parse(prefix, &error)) << "prefix of " << length << " bytes";
        EXPECT_FALSE(error.empty());
    }
}

TEST_P(ElfDamaged, EachDamagedFieldIsRefusedWithItsReason)
{
    const bool is32 = GetParam() == CLASS_32;
    const unsigned word = is32 ? 4 : 8;
    // Where field `at32`/`at64` of section `index` sits.
    auto section = [is32](const Built& b, std::size_t index, unsigned at32, unsigned at64) {
        return b.sectionTableOffset + index * b.sectionEntrySize + (is32 ? at32 : at64);
    };
    const struct {
        const char* what;
        std::function<void(Built&)> damage;
        const char* reason;
    } cases[] = {
        {"wrong magic", [](Built& b) { b.bytes[1] = 'e'; }, "not an ELF file"},
        {"big-endian", [](Built& b) { b.bytes[5] = 2; }, "little-endian"},
        {"unknown class", [](Built& b) { b.bytes[4] = 3; }, "class"},
        {"section table past the end",
         [&](Built& b) { put(b.bytes, is32 ? 32 : 40, is32 ? 0xffffff00u : 0xffffffffffffff00u, word); },
         "section header table"},
        {"tiny section entries", [&](Built& b) { put(b.bytes, is32 ? 46 : 58, 8, 2); }, "section header entries"},
        {"symbol table past the end", [&](Built& b) { put(b.bytes, section(b, 2, 20, 32), b.bytes.size(), word); },
         "dynamic symbol table outside"},
        {"string table link out of range", [&](Built& b) { put(b.bytes, section(b, 2, 24, 40), 9, 4); },
         "without a string table"},
        {"string table link to the wrong kind", [&](Built& b) { put(b.bytes, section(b, 2, 24, 40), 2, 4); },
         "without a string table"},
        {"symbol entry size mismatch", [&](Built& b) { put(b.bytes, section(b, 2, 36, 56), 12, word); },
         "unexpected size"},
        {"name offset past the string table",
         [&](Built& b) { put(b.bytes, b.symbolsOffset + (is32 ? 16 : 24), 0x7fffffff, 4); }, "name outside"},
        // The string table shrunk by its final NUL leaves the last name unterminated.
        {"unterminated last name",
         [&](Built& b) {
             const std::size_t sizeAt = section(b, 1, 20, 32);
             put(b.bytes, sizeAt, (b.bytes[sizeAt] | (b.bytes[sizeAt + 1] << 8)) - 1, word);
         },
         "unterminated"},
        {"missing symbol table (now a plain one)", [&](Built& b) { put(b.bytes, section(b, 2, 4, 4), 2, 4); },
         "no dynamic symbol table"},
    };
    for (const auto& c : cases) {
        Built damaged = built;
        c.damage(damaged);
        std::string error;
        EXPECT_FALSE(parse(damaged.bytes, &error)) << c.what;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": error was: " << error;
    }
}

INSTANTIATE_TEST_SUITE_P(BothClasses, ElfDamaged, ::testing::Values(CLASS_32, CLASS_64), classLabel);

TEST(ElfFile, MissingFileNamesThePathAndTheReason)
{
    std::string error;
    EXPECT_FALSE(readFile("/nonexistent/lights.none.so", &error));
    EXPECT_NE(error.find("/nonexistent/lights.none.so"), std::string::npos) << error;
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

} // namespace
} // namespace quorvel::elf
