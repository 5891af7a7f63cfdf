#pragma once
// The layout of a parcel's data bytes that both the parcel and the frame codec rely
// on: values padded to whole 32-bit words, and the two words of an object slot.

#include <cstddef>
#include <cstdint>

namespace quorvel {

// `n` rounded up to a whole 32-bit word.
inline constexpr size_t pad4(size_t n)
{
    return (n + 3) & ~size_t{3};
}

// The two 32-bit words of an object slot in the data bytes.
inline constexpr uint32_t OBJECT_KIND_NULL = 0;
inline constexpr uint32_t OBJECT_KIND_REFERENCE = 1;
inline constexpr size_t OBJECT_SLOT_SIZE = 8;

} // namespace quorvel
