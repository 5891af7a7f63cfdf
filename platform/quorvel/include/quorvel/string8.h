#pragma once
// String8: a growing 8-bit text, always readable as one zero-terminated string.

#include <cstddef>
#include <string>

namespace quorvel {

class String8 {
public:
    String8() = default;
    explicit String8(const char* text)
        : mText(text ? text : "")
    {
    }

    // Appends a zero-terminated byte string; null appends nothing.
    void append(const char* text)
    {
        if (text)
            mText.append(text);
    }

    const char* string() const { return mText.c_str(); }
    size_t length() const { return mText.size(); }

private:
    std::string mText;
};

} // namespace quorvel
