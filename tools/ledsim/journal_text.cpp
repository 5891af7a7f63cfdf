// The journal's text forms of paths, statuses, open flags and written bytes.
#include "journal_text.h"

#include <errno.h>
#include <fcntl.h>

#include <cstdio>

namespace ledsim {

std::string fullPath(std::string_view path)
{
    return std::string(MOUNT_POINT) + std::string(path);
}

std::string treePath(std::string_view text)
{
    std::string_view rest = text;
    if (rest.starts_with(MOUNT_POINT)) {
        rest.remove_prefix(MOUNT_POINT.size());
        if (!rest.empty() && rest.front() != '/')
            return {};
    }
    while (!rest.empty() && rest.front() == '/')
        rest.remove_prefix(1);
    if (rest.empty())
        return {};
    return "/" + std::string(rest);
}

std::string statusName(int status)
{
    if (status >= 0)
        return std::to_string(status);
    switch (-status) {
    case ENOENT: return "-ENOENT";
    case EACCES: return "-EACCES";
    case ENOSPC: return "-ENOSPC";
    case EIO: return "-EIO";
    case EINVAL: return "-EINVAL";
    case ERANGE: return "-ERANGE";
    case EBADF: return "-EBADF";
    case EISDIR: return "-EISDIR";
    case ENOTDIR: return "-ENOTDIR";
    case ENOMEM: return "-ENOMEM";
    case EPERM: return "-EPERM";
    default: return std::to_string(status);
    }
}

// The kernel's own O_LARGEFILE bit as FUSE reports it on the build machine; the C
// library's O_LARGEFILE is 0 on 64-bit targets.
const int KERNEL_O_LARGEFILE = 0100000;

std::string openFlagsText(int flags)
{
    std::string text;
    switch (flags & O_ACCMODE) {
    case O_RDONLY: text = "O_RDONLY"; break;
    case O_WRONLY: text = "O_WRONLY"; break;
    case O_RDWR: text = "O_RDWR"; break;
    default: text = "O_ACCMODE"; break;
    }
    static const struct {
        int flag;
        const char* name;
    } named[] = {
        // Composite flags first: O_SYNC contains O_DSYNC, O_TMPFILE contains O_DIRECTORY.
        {O_SYNC, "O_SYNC"},       {O_TMPFILE, "O_TMPFILE"}, {O_CREAT, "O_CREAT"},         {O_EXCL, "O_EXCL"},
        {O_NOCTTY, "O_NOCTTY"},   {O_TRUNC, "O_TRUNC"},     {O_APPEND, "O_APPEND"},       {O_NONBLOCK, "O_NONBLOCK"},
        {O_DSYNC, "O_DSYNC"},     {O_DIRECT, "O_DIRECT"},   {O_DIRECTORY, "O_DIRECTORY"}, {O_NOFOLLOW, "O_NOFOLLOW"},
        {O_NOATIME, "O_NOATIME"}, {O_CLOEXEC, "O_CLOEXEC"}, {O_PATH, "O_PATH"},
    };
    int rest = flags & ~O_ACCMODE & ~KERNEL_O_LARGEFILE;
    for (const auto& entry : named) {
        if ((rest & entry.flag) == entry.flag) {
            text += '|';
            text += entry.name;
            rest &= ~entry.flag;
        }
    }
    if (rest != 0) {
        char hex[16];
        snprintf(hex, sizeof hex, "|0x%x", static_cast<unsigned>(rest));
        text += hex;
    }
    return text;
}

std::string quoted(std::string_view bytes)
{
    std::string text = "\"";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n')
            text += "\\n";
        else if (c == '"' || c == '\\') {
            text += '\\';
            text += c;
        } else if (byte >= 0x20 && byte < 0x7F)
            text += c;
        else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", byte);
            text += hex;
        }
    }
    text += '"';
    return text;
}

} // namespace ledsim
