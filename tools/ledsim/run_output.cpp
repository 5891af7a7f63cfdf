// Writing ledsim's journal and picture.
#include "run_output.h"

#include "report.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

namespace ledsim {

FILE* openOutput(const std::string& path, const char* what, std::string& error)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    FILE* file = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (file == nullptr) {
        error = std::string("cannot write the ") + what + " to " + path + ": " + strerror(errno);
        if (fd >= 0)
            close(fd);
    }
    return file;
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
    std::string title = "ledsim --profile " + options.profileText + " --";
    for (const std::string& word : options.command)
        title += " " + word;
    return title;
}

} // namespace ledsim
