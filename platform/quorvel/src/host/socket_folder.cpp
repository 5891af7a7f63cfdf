#include "socket_folder.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quorvel {

namespace {

status_t refuse(SocketPathRefusal* refusal, SocketPathRefusal::Reason reason, const std::string& folder,
                const struct stat* st, status_t status)
{
    if (refusal) {
        refusal->reason = reason;
        refusal->folder = folder.empty() ? "/" : folder;
        if (st) {
            refusal->owner = st->st_uid;
            refusal->mode = st->st_mode & 07777;
        }
    }
    return status;
}

// Another user who can change what a folder holds can replace our socket with
// theirs during a restart. The sticky bit keeps others from renaming or removing
// our entries in a shared folder above, but not from creating the socket's name
// before we do, so the socket's own folder must not be writable by them at all.
status_t checkFolder(int fd, const std::string& folder, bool holdsSocket, SocketPathRefusal* refusal)
{
    struct stat st;
    if (::fstat(fd, &st) < 0)
        return refuse(refusal, SocketPathRefusal::CANNOT_OPEN, folder, nullptr, -errno);
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
        return refuse(refusal, SocketPathRefusal::FOREIGN_OWNER, folder, &st, -EPERM);
    const bool writableByOthers = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (holdsSocket && writableByOthers)
        return refuse(refusal, SocketPathRefusal::WRITABLE_BY_OTHERS, folder, &st, -EPERM);
    if (writableByOthers && !(st.st_mode & S_ISVTX))
        return refuse(refusal, SocketPathRefusal::WRITABLE_WITHOUT_STICKY, folder, &st, -EPERM);
    return OK;
}

} // namespace

status_t openSocketFolder(const std::string& folder, UniqueFd* out, SocketPathRefusal* refusal)
{
    // The parts that name a folder, so that we know which one is the last.
    std::vector<std::string> parts;
    for (size_t start = 0; start <= folder.size();) {
        size_t end = folder.find('/', start);
        if (end == std::string::npos)
            end = folder.size();
        std::string part = folder.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..")
            return refuse(refusal, SocketPathRefusal::PARENT_REFERENCE, folder, nullptr, BAD_VALUE);
        parts.push_back(std::move(part));
    }

    UniqueFd current(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!current)
        return refuse(refusal, SocketPathRefusal::CANNOT_OPEN, "/", nullptr, -errno);
    if (const status_t status = checkFolder(current.get(), "/", parts.empty(), refusal); status != OK)
        return status;
    // Each step opens the whole path so far: the folders above were checked already,
    // and none of them can be changed by anyone but root and us.
    std::string sofar;
    for (size_t i = 0; i < parts.size(); ++i) {
        sofar += "/" + parts[i];
        UniqueFd next(::open(sofar.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next && errno == ENOENT) {
            if (::mkdir(sofar.c_str(), 0755) < 0 && errno != EEXIST)
                return refuse(refusal, SocketPathRefusal::CANNOT_CREATE, sofar, nullptr, -errno);
            next.reset(::open(sofar.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        }
        if (!next) {
            // O_NOFOLLOW with O_DIRECTORY gives ENOTDIR for a symlink: look closer.
            const int error = errno;
            struct stat st;
            if (::lstat(sofar.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
                return refuse(refusal, SocketPathRefusal::SYMLINK, sofar, nullptr, -ELOOP);
            return refuse(refusal, SocketPathRefusal::CANNOT_OPEN, sofar, nullptr, -error);
        }
        current = std::move(next);
        if (const status_t status = checkFolder(current.get(), sofar, i + 1 == parts.size(), refusal); status != OK)
            return status;
    }
    *out = std::move(current);
    return OK;
}

} // namespace quorvel
