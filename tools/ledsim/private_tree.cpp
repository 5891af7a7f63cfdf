// Setting up ledsim's private mount namespace.
#include "private_tree.h"

#include "journal_text.h"
#include "report.h"

#include <errno.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

namespace ledsim {

namespace {

const char* const SYS_CLASS = "/sys/class";

} // namespace

bool enterPrivateTree(std::string& error)
{
    if (unshare(CLONE_NEWNS) != 0) {
        error = errnoText("cannot create a private mount namespace");
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        error = errnoText("cannot make / private");
        return false;
    }
    if (mkdir("/sys", 0755) != 0 && errno != EEXIST) {
        error = errnoText("cannot create /sys");
        return false;
    }
    if (mkdir(SYS_CLASS, 0755) != 0 && errno != EEXIST) {
        error = errnoText("cannot create /sys/class");
        return false;
    }
    if (mount("ledsim", SYS_CLASS, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755") != 0) {
        error = errnoText("cannot mount a tmpfs over /sys/class");
        return false;
    }
    if (mkdir(std::string(MOUNT_POINT).c_str(), 0755) != 0) {
        error = errnoText("cannot create /sys/class/leds");
        return false;
    }
    return true;
}

} // namespace ledsim
