// Stand-in for the platform log: every line goes to standard error.
#include <quorvel/log.h>

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

char priorityLetter(int priority)
{
    static const char letters[] = "VDIWEF";
    if (priority >= QUORVEL_LOG_VERBOSE && priority <= QUORVEL_LOG_FATAL)
        return letters[priority - QUORVEL_LOG_VERBOSE];
    return '?';
}

// One write(2) per line, so lines of concurrent writers never mix.
int writeAll(const char* data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(STDERR_FILENO, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<int>(done);
}

} // namespace

extern "C" int __quorvel_log_print(int priority, const char* tag, const char* fmt, ...)
{
    const int savedErrno = errno;
    if (tag == nullptr)
        tag = "";
    if (fmt == nullptr)
        fmt = "";

    va_list args;
    va_start(args, fmt);
    va_list measure;
    va_copy(measure, args);
    const int messageLength = vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);
    if (messageLength < 0) {
        va_end(args);
        errno = savedErrno;
        return -EINVAL;
    }

    const size_t tagLength = strlen(tag);
    // letter, '/', tag, ": ", message, maybe '\n', terminator
    const size_t capacity = 2 + tagLength + 2 + static_cast<size_t>(messageLength) + 2;
    char stackBuffer[512];
    char* line = capacity <= sizeof stackBuffer ? stackBuffer : static_cast<char*>(malloc(capacity));
    if (line == nullptr) {
        va_end(args);
        errno = savedErrno;
        return -ENOMEM;
    }

    size_t length = 0;
    line[length++] = priorityLetter(priority);
    line[length++] = '/';
    memcpy(line + length, tag, tagLength);
    length += tagLength;
    line[length++] = ':';
    line[length++] = ' ';
    vsnprintf(line + length, static_cast<size_t>(messageLength) + 1, fmt, args);
    va_end(args);
    length += static_cast<size_t>(messageLength);
    if (messageLength == 0 || line[length - 1] != '\n')
        line[length++] = '\n';

    const int result = writeAll(line, length);
    if (line != stackBuffer)
        free(line);
    errno = savedErrno;
    return result;
}
