#pragma once
// Reads the dynamic symbol table of an ELF file, 32- or 64-bit little-endian: what
// a dynamic loader sees of a shared library (names, sizes, kinds, visibility).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quorvel::elf {

struct Symbol {
    std::string name;
    std::uint64_t value = 0;
    std::uint64_t size = 0;
    unsigned type = 0; // STT_*: 1 object, 2 function
    unsigned binding = 0; // STB_*: 0 local, 1 global, 2 weak
    unsigned visibility = 0; // STV_*: 0 default, 2 hidden
    std::uint16_t section = 0; // 0: undefined, i.e. imported
};

struct Image {
    unsigned elfClass = 0; // 1: 32-bit, 2: 64-bit
    std::uint16_t machine = 0; // EM_*: 40 ARM, 62 x86-64
    std::vector<Symbol> dynamicSymbols;

    // The defined (not imported) dynamic symbol of that name, if any.
    const Symbol* findDefined(const std::string& name) const;
};

constexpr unsigned CLASS_32 = 1;
constexpr unsigned CLASS_64 = 2;
constexpr std::uint16_t MACHINE_ARM = 40;
constexpr std::uint16_t MACHINE_X86_64 = 62;
constexpr unsigned TYPE_OBJECT = 1;
constexpr unsigned TYPE_FUNC = 2;
constexpr unsigned BINDING_GLOBAL = 1;

// Parses an in-memory ELF image. Malformed input (truncated tables, offsets past the
// end, unterminated names) yields nullopt and a reason in *error; it never reads
// outside `bytes`.
std::optional<Image> parse(std::span<const unsigned char> bytes, std::string* error);

// Reads the file and parses it; a file that cannot be read is reported like bad input.
std::optional<Image> readFile(const std::string& path, std::string* error);

} // namespace quorvel::elf
