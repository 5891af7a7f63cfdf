#pragma once
// String16: an immutable-by-value UTF-16 text, the string type of parcels and names.
// Built from UTF-8 bytes; an invalid or truncated sequence becomes one U+FFFD.

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvel {

class String16 {
public:
    String16() = default;
    // From zero-terminated UTF-8 bytes; null gives the empty string.
    explicit String16(const char* utf8);
    String16(const char* utf8, size_t length);
    String16(const char16_t* units, size_t length)
        : mUnits(units, length)
    {
    }
    explicit String16(std::u16string units)
        : mUnits(std::move(units))
    {
    }

    String16(const String16&) = default;
    String16(String16&&) noexcept = default;
    String16& operator=(const String16&) = default;
    String16& operator=(String16&&) noexcept = default;

    // Length in UTF-16 units, not counting the terminator.
    size_t size() const { return mUnits.size(); }
    // Zero-terminated units.
    const char16_t* string() const { return mUnits.c_str(); }
    char16_t operator[](size_t index) const { return mUnits[index]; }
    std::u16string_view view() const { return mUnits; }

    friend bool operator==(const String16&, const String16&) = default;
    friend auto operator<=>(const String16& a, const String16& b) { return a.mUnits <=> b.mUnits; }

private:
    std::u16string mUnits;
};

} // namespace quorvel
