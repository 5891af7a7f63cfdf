// Writing ledsim's journal and picture.
#include "run_output.h"

#include "report.h"
#include "shell_words.h"

#include <quorvel/unique_fd.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace ledsim {

namespace {

// What a file that is not a regular one is, for a message.
const char* kindOf(mode_t mode)
{
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    return "not a regular file";
}

std::string refusal(mode_t mode)
{
    if (S_ISLNK(mode))
        return "it is a symbolic link, which ledsim does not follow (as root it could be led to overwrite any file)";
    return std::string("it is ") + kindOf(mode) + "; ledsim writes only regular files (or /dev/null)";
}

// The null device: writing to it discards, and nothing can be led astray by it.
bool isNullDevice(const struct stat& status)
{
    return S_ISCHR(status.st_mode) && status.st_rdev == makedev(1, 3);
}

} // namespace

// Root runs ledsim, often with a file in a folder anyone can write (/tmp), where
// the name may be another user's symbolic link or FIFO. So the last component is
// never followed, the open neither waits for a FIFO's reader nor takes a terminal,
// and the file is emptied only once it is known to be a regular one.
OutputFile openOutput(const std::string& path, const char* what, std::string& error)
{
    const std::string cannot = std::string("cannot write the ") + what + " to " + path + ": ";
    quorvel::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
    struct stat status {};
    if (!fd) {
        const int openError = errno;
        if (lstat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode) && !isNullDevice(status))
            error = cannot + refusal(status.st_mode);
        else
            error = cannot + strerror(openError);
        return nullptr;
    }
    if (fstat(fd.get(), &status) != 0) {
        error = cannot + strerror(errno);
    } else if (!S_ISREG(status.st_mode) && !isNullDevice(status)) {
        error = cannot + refusal(status.st_mode);
    } else if (S_ISREG(status.st_mode) && ftruncate(fd.get(), 0) != 0) {
        error = cannot + "cannot empty it: " + strerror(errno);
    } else if (fcntl(fd.get(), F_SETFL, 0) != 0) {
        error = cannot + strerror(errno);
    } else if (OutputFile file(fdopen(fd.get(), "w")); file != nullptr) {
        fd.release(); // the stream closes it now
        return file;
    } else {
        error = cannot + strerror(errno);
    }
    return nullptr;
}

bool writeJournal(const LedTree& tree, FILE* out, const std::string& path)
{
    for (const std::string& line : tree.journal())
        fprintf(out, "%s\n", line.c_str());
    for (const std::string& line : tree.values())
        fprintf(out, "%s\n", line.c_str());
    const bool written = fflush(out) == 0 && !ferror(out);
    if (!written)
        fail(errnoText(("cannot write the journal to " + (path.empty() ? "standard output" : path)).c_str()));
    return written;
}

bool writePicture(const std::string& svg, FILE* out, const std::string& path)
{
    const bool written = fputs(svg.c_str(), out) >= 0 && fflush(out) == 0 && !ferror(out);
    if (!written)
        fail(errnoText(("cannot write the picture to " + path).c_str()));
    return written;
}

std::string pictureTitle(const Options& options)
{
    return "ledsim --profile " + shellQuoted(options.profileText) + " -- " + shellCommandLine(options.command);
}

} // namespace ledsim
