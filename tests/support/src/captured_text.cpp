#include <test_support/captured_text.h>

#include <quorvel/parcel.h>
#include <quorvel/text_output.h>

#include <sys/mman.h>
#include <unistd.h>

namespace quorvel::testing {

int memoryFile()
{
    return ::memfd_create("captured-text", MFD_CLOEXEC);
}

std::string readAll(int fd)
{
    std::string text;
    char buffer[4096];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    return text;
}

std::string printed(const Parcel& parcel)
{
    const int fd = memoryFile();
    {
        TextOutput out(fd);
        out << parcel;
    } // the destructor flushes
    std::string text = fd < 0 ? "(cannot capture the printed parcel)" : readAll(fd);
    ::close(fd);
    return text;
}

} // namespace quorvel::testing
