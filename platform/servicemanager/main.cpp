// servicemanager: the daemon that keeps the registry of named services. It listens on
// $QUORVEL_SERVICE_MANAGER (default /run/quorvel/servicemanager) in the foreground
// until SIGTERM or SIGINT, then removes its socket. It refuses a path whose folders
// another user could change, and one where another service manager serves or is
// starting (it holds "<path>.lock" for its life), saying what is at fault and what to do.
#include "service_registry.h"

#include <quorvel/hosting.h>
#include <quorvel/limits.h>
#include <quorvel/service_manager.h>
#include <quorvel/text_output.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace quorvel;

namespace {

std::string octal(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
    return text;
}

// Why `path` was refused and what to do about it, in one line.
std::string explain(const std::string& path, const SocketPathRefusal& why, status_t status)
{
    const std::string& folder = why.folder;
    switch (why.reason) {
    case SocketPathRefusal::NOT_ABSOLUTE:
        return std::string("the path is not absolute; set $") + SERVICE_MANAGER_ENV + " to a path that starts with '/'";
    case SocketPathRefusal::NOT_A_FILE_NAME:
        return "the path names a folder, not a socket file; add the socket's file name";
    case SocketPathRefusal::TOO_LONG:
        return "the path is longer than " + std::to_string(MAX_ENDPOINT_LENGTH) + " bytes; choose a shorter one";
    case SocketPathRefusal::PARENT_REFERENCE: return "the path contains \"..\"; give it without";
    case SocketPathRefusal::SYMLINK:
        return folder + " is a symbolic link; give the path of the folder it points to, without links";
    case SocketPathRefusal::FOREIGN_OWNER:
        if (::geteuid() == 0)
            return folder + " is owned by uid " + std::to_string(why.owner) +
                ", not by root; give it to root (chown root " + folder + ") or choose a folder root owns";
        return folder + " is owned by uid " + std::to_string(why.owner) + ", neither root nor uid " +
            std::to_string(::geteuid()) + "; choose a folder owned by root or by uid " + std::to_string(::geteuid());
    case SocketPathRefusal::WRITABLE_BY_OTHERS:
        if (why.mode & S_ISVTX) {
            // A shared folder such as /tmp: taking others' write permission away (as
            // root, say) would break everyone who uses it.
            const std::string base = folder == "/" ? "" : folder;
            return folder + " (mode " + octal(why.mode) +
                ") is a shared folder: others may write in it and could put a socket in its place; " +
                "choose a folder of its own, e.g. set $" + SERVICE_MANAGER_ENV + " to " + base + "/servicemanager/" +
                path.substr(path.rfind('/') + 1) + " (a missing folder is made with mode 0755)";
        }
        return folder + " (mode " + octal(why.mode) +
            ") is writable by its group or by others, who could put a socket in its place; " +
            "remove their write permission (chmod go-w " + folder + ") or choose a folder of its own";
    case SocketPathRefusal::WRITABLE_WITHOUT_STICKY:
        return folder + " (mode " + octal(why.mode) +
            ") is writable by its group or by others without the sticky bit; remove their write " +
            "permission (chmod go-w " + folder + ") or set the sticky bit (chmod +t " + folder + ")";
    case SocketPathRefusal::CANNOT_CREATE: return "cannot create " + folder + ": " + std::strerror(-status);
    case SocketPathRefusal::CANNOT_OPEN: return "cannot open " + folder + ": " + std::strerror(-status);
    case SocketPathRefusal::NOT_A_SOCKET:
        return "something that is not a socket is in the way; remove it or choose another path";
    case SocketPathRefusal::MANAGER_ANSWERS: return "a service manager already answers there";
    case SocketPathRefusal::LOCKED:
        return "another service manager serves there or is starting (it holds " + folder +
            "); stop it first or choose another path";
    case SocketPathRefusal::LOCK_NOT_OURS:
        return folder + " is in the way: the lock file must be a regular file owned by uid " +
            std::to_string(::geteuid()) + "; remove it or choose another path";
    case SocketPathRefusal::NONE: break;
    }
    return status < 0 && status > -4096 ? std::strerror(-status) : statusToString(status);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1) {
        aerr << "usage: servicemanager (the socket path comes from $" << SERVICE_MANAGER_ENV << ")" << endl;
        return 2;
    }
    (void)argv;
    const std::string path = serviceManagerPath();
    stopServingOnSignals();

    SocketPathRefusal why;
    const status_t status = listenOnPath(path, &why);
    if (status != OK) {
        aerr << "servicemanager: cannot listen on " << path.c_str() << ": " << explain(path, why, status).c_str()
             << endl;
        return 1;
    }
    sp<ServiceRegistry> registry(new ServiceRegistry());
    setContextObject(registry);
    setConnectionClosedHandler([registry](uint64_t id) { registry->connectionClosed(id); });

    // Returns once stopped; the socket file has then been removed, if it was still ours.
    const status_t served = serve();
    if (served != OK) {
        aerr << "servicemanager: serving stopped: " << statusToString(served) << endl;
        return 1;
    }
    return 0;
}
