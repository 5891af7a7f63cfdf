#include <quorvel/text_output.h>

#include <quorvel/parcel.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace quorvel {

namespace {

// The stream that holds unwritten text, if any. Before another stream writes, that
// text goes out, which keeps both streams in write order when they share a file.
TextOutput* gPending = nullptr;

// Never destroyed: text written from other objects' destructors at exit must still
// find the streams alive. Constant-initialised, so nothing runs at start-up.
union StreamStorage {
    constexpr explicit StreamStorage(int fd)
        : stream(fd)
    {
    }
    ~StreamStorage() {}
    TextOutput stream;
};

constinit StreamStorage gOut(STDOUT_FILENO);
constinit StreamStorage gErr(STDERR_FILENO);

struct ExitFlush {
    ~ExitFlush()
    {
        if (gPending)
            gPending->flush();
    }
};
ExitFlush gExitFlush;

char* formatUnsigned(char* end, uint64_t value)
{
    do {
        *--end = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    return end;
}

} // namespace

TextOutput& aout = gOut.stream;
TextOutput& aerr = gErr.stream;

TextOutput::~TextOutput()
{
    flush();
}

void TextOutput::writeUnbuffered(const char* text, size_t length)
{
    while (length > 0) {
        const ssize_t n = ::write(mFd, text, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return; // nowhere to report it: the stream is the reporting channel
        }
        text += n;
        length -= static_cast<size_t>(n);
    }
}

void TextOutput::flush()
{
    if (gPending == this)
        gPending = nullptr;
    if (mUsed == 0)
        return;
    const size_t used = mUsed;
    mUsed = 0;
    writeUnbuffered(mBuffer, used);
}

void TextOutput::write(const char* text, size_t length)
{
    if (length == 0)
        return;
    if (gPending && gPending != this)
        gPending->flush();
    if (length > sizeof mBuffer - mUsed) {
        flush();
        if (length >= sizeof mBuffer) {
            writeUnbuffered(text, length);
            return;
        }
    }
    std::memcpy(mBuffer + mUsed, text, length);
    mUsed += length;
    gPending = this;
}

TextOutput& TextOutput::operator<<(const char* text)
{
    if (!text)
        text = "(null)";
    write(text, std::strlen(text));
    return *this;
}

TextOutput& TextOutput::operator<<(char c)
{
    write(&c, 1);
    return *this;
}

TextOutput& TextOutput::operator<<(uint64_t value)
{
    char digits[24];
    char* end = digits + sizeof digits;
    char* start = formatUnsigned(end, value);
    write(start, static_cast<size_t>(end - start));
    return *this;
}

TextOutput& TextOutput::operator<<(int64_t value)
{
    char digits[24];
    char* end = digits + sizeof digits;
    // Negate in unsigned arithmetic so that the most negative value works too.
    const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char* start = formatUnsigned(end, magnitude);
    if (value < 0)
        *--start = '-';
    write(start, static_cast<size_t>(end - start));
    return *this;
}

TextOutput& TextOutput::operator<<(uint32_t value)
{
    return *this << static_cast<uint64_t>(value);
}

TextOutput& TextOutput::operator<<(int32_t value)
{
    return *this << static_cast<int64_t>(value);
}

TextOutput& TextOutput::operator<<(const Parcel& parcel)
{
    parcel.print(*this, 0);
    return *this;
}

TextOutput& endl(TextOutput& to)
{
    to.write("\n", 1);
    // Diagnostics go out line by line, so a crash or _exit loses none of them.
    if (&to == &aerr)
        to.flush();
    return to;
}

} // namespace quorvel
