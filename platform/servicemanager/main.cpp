// servicemanager: the daemon that keeps the registry of named services. It listens on
// $QUORVEL_SERVICE_MANAGER (default /run/quorvel/servicemanager) in the foreground
// until SIGTERM or SIGINT, then removes its socket. It refuses a path whose folders
// another user could change, and one where a service manager still answers.
#include "service_registry.h"

#include <quorvel/hosting.h>
#include <quorvel/limits.h>
#include <quorvel/service_manager.h>
#include <quorvel/text_output.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace quorvel;

namespace {

// What is wrong with a path the socket cannot have, or "".
std::string badPath(const std::string& path)
{
    if (path.empty() || path[0] != '/')
        return std::string("the path is relative; set $") + SERVICE_MANAGER_ENV +
            " to a full one (like /run/quorvel/servicemanager)";
    if (path.size() > MAX_ENDPOINT_LENGTH)
        return "the path is longer than " + std::to_string(MAX_ENDPOINT_LENGTH) + " bytes; choose a shorter one";
    const std::string name = path.substr(path.rfind('/') + 1);
    if (name.empty() || name == "." || name == "..")
        return "the path does not end in a file name; add one (like .../servicemanager)";
    return {};
}

// The first folder of `path` that another user could change, and why, or "". The
// listener refused the path already; this only finds the folder to name.
std::string unsafeFolder(const std::string& path)
{
    const std::string folder = path.substr(0, path.rfind('/'));
    std::string sofar;
    size_t start = 0;
    while (true) {
        struct stat st;
        const std::string current = sofar.empty() ? "/" : sofar;
        if (::lstat(current.c_str(), &st) == 0) {
            if (S_ISLNK(st.st_mode))
                return current + " is a symbolic link";
            if (st.st_uid != 0 && st.st_uid != ::geteuid())
                return current + " belongs to uid " + std::to_string(st.st_uid);
            if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX))
                return current + " is writable by group or others";
        }
        if (start >= folder.size())
            return {};
        size_t end = folder.find('/', start);
        if (end == std::string::npos)
            end = folder.size();
        const std::string part = folder.substr(start, end - start);
        start = end + 1;
        if (part == "..")
            return "the path goes up a folder with ..";
        if (!part.empty() && part != ".")
            sofar += "/" + part;
    }
}

std::string refusal(status_t status, const std::string& path)
{
    switch (status) {
    case -ELOOP:
    case -EPERM: {
        std::string text = unsafeFolder(path);
        if (text.empty())
            text = status == -ELOOP ? "a folder on the way is a symbolic link"
                                    : "a folder on the way is owned by another user or writable by others";
        return text + "; choose a path whose folders only root and you can change, without symbolic links";
    }
    case -EADDRINUSE: return "a service manager already answers there";
    case -EEXIST: return "something that is not a socket is in the way; remove it or choose another path";
    case BAD_VALUE:
        if (const std::string bad = badPath(path); !bad.empty())
            return bad;
        return std::strerror(EINVAL);
    default: return status < 0 && status > -4096 ? std::strerror(-status) : statusToString(status);
    }
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

    const status_t status = listenOnPath(path);
    if (status != OK) {
        aerr << "servicemanager: cannot listen on " << path.c_str() << ": " << refusal(status, path).c_str() << endl;
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
