#include <test_support/led_tree.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvel::testing {

namespace {

bool fail(std::string* error, const std::string& what)
{
    if (error)
        *error = what + ": " + std::strerror(errno);
    return false;
}

} // namespace

bool makeLedTree(const std::vector<std::string>& files, std::string* error)
{
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail(error, "cannot make a private mount namespace");
    if (::mount("ledtree", "/sys/class", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
        return fail(error, "cannot mount a tmpfs over /sys/class");
    if (::mkdir("/sys/class/leds", 0755) != 0)
        return fail(error, "cannot create /sys/class/leds");
    for (const std::string& file : files) {
        const std::string path = "/sys/class/leds/" + file;
        for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
            ::mkdir(path.substr(0, slash).c_str(), 0755);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return fail(error, "cannot create " + path);
        const bool written = ::write(fd, "0\n", 2) == 2;
        ::close(fd);
        if (!written)
            return fail(error, "cannot write " + path);
    }
    return true;
}

} // namespace quorvel::testing
