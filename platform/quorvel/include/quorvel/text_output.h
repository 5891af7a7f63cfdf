#pragma once
// TextOutput: stream-style text output to a file descriptor. aout writes to standard
// output, aerr to standard error. Text written to one stream is flushed before any
// text of the other goes out, so both appear in the order written when they share a
// file. Output is flushed at endl on aerr, when the buffer fills and at exit.
// Not thread-safe: one thread writes to a stream at a time.

#include <cstddef>
#include <cstdint>

namespace quorvel {

class Parcel;

class TextOutput {
public:
    // constexpr so that aout and aerr need no start-up code.
    explicit constexpr TextOutput(int fd)
        : mFd(fd)
        , mBuffer{}
    {
    }
    ~TextOutput();
    TextOutput(const TextOutput&) = delete;
    TextOutput& operator=(const TextOutput&) = delete;

    void write(const char* text, size_t length);
    void flush();

    TextOutput& operator<<(const char* text); // null prints "(null)"
    TextOutput& operator<<(char c);
    TextOutput& operator<<(uint32_t value); // decimal
    TextOutput& operator<<(int32_t value); // decimal
    TextOutput& operator<<(uint64_t value); // decimal
    TextOutput& operator<<(int64_t value); // decimal
    TextOutput& operator<<(const Parcel& parcel); // Parcel::print with flags 0
    TextOutput& operator<<(TextOutput& (*manipulator)(TextOutput&)) { return manipulator(*this); }

private:
    void writeUnbuffered(const char* text, size_t length);

    int mFd;
    size_t mUsed = 0;
    char mBuffer[4096];
};

extern TextOutput& aout;
extern TextOutput& aerr;

// Writes "\n".
TextOutput& endl(TextOutput& to);

} // namespace quorvel
