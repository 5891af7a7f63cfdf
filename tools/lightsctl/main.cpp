// lightsctl: sends light requests to a lights module from the command line.
#include "light_device_handle.h"
#include "request_parser.h"

#include <quorvel/module_loader.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace {

const int EXIT_REQUEST_FAILED = 1;
const int EXIT_USAGE = 2;
const int EXIT_LOAD_FAILED = 3;

void printHelp(FILE* out)
{
    fprintf(out,
            "usage: lightsctl MODULE LIGHT COLOR [OPTION...] [LIGHT COLOR [OPTION...]]...\n"
            "\n"
            "Loads a lights module and sends each request to its light, in order, printing\n"
            "\"LIGHT: STATUS\" per request. Requests to the same light share one device.\n"
            "\n"
            "MODULE   a module file (any path with a '/'), or a board name: lights.BOARD.so\n"
            "         in $%s, or in %s when that is unset\n"
            "         (now: %s)\n"
            "LIGHT    backlight, keyboard, buttons, battery, notifications, attention\n"
            "         (other names are passed on; the module refuses them)\n"
            "COLOR    0xAARRGGBB, #RGB, #RRGGBB, #AARRGGBB or decimal (the alpha byte is\n"
            "         ignored; #RGB is the CSS short form: #f00 is #ff0000)\n"
            "OPTION   flash ON_MS OFF_MS   timed flashing (flash mode 1)\n"
            "         trackball CODE       trackball mode code (flash mode 2, attention)\n"
            "         mode N ON_MS OFF_MS  any flash mode with its times\n"
            "         auto                 automatic brightness (brightness mode 1)\n"
            "         brightness N         any brightness mode\n"
            "\n"
            "Exit status: 0 when every request returned 0, 1 when one did not, 2 on bad\n"
            "arguments, 3 when the module cannot be loaded.\n",
            quorvel::MODULE_DIR_VARIABLE, quorvel::defaultModuleDirectory(), quorvel::moduleDirectory().c_str());
}

// The module folder of the build tree this lightsctl was built in
// (BUILD/tools/lightsctl/lightsctl has them in BUILD/lib/quorvel/hw), or "".
std::string buildTreeModuleDirectory()
{
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return {};
    const std::string path(self, static_cast<size_t>(length));
    const std::string tail = "/tools/lightsctl/lightsctl";
    if (path.size() <= tail.size() || path.compare(path.size() - tail.size(), tail.size(), tail) != 0)
        return {};
    const std::string folder = path.substr(0, path.size() - tail.size()) + "/lib/quorvel/hw";
    return access(folder.c_str(), F_OK) == 0 ? folder : std::string();
}

// After a board name failed to load from the installed folder: how to point
// lightsctl at a build's modules instead.
void printModuleFolderHint()
{
    const char* set = getenv(quorvel::MODULE_DIR_VARIABLE);
    if (set != nullptr && set[0] != '\0')
        return;
    const std::string build = buildTreeModuleDirectory();
    fprintf(stderr, "lightsctl: $%s is not set, so boards are looked for in the installed folder %s; ",
            quorvel::MODULE_DIR_VARIABLE, quorvel::defaultModuleDirectory());
    if (!build.empty())
        fprintf(stderr, "for the modules of this build: export %s=%s\n", quorvel::MODULE_DIR_VARIABLE, build.c_str());
    else
        fprintf(stderr, "set it to the folder that holds lights.BOARD.so (BUILD/lib/quorvel/hw in a build tree)\n");
}

// The modules write to /sys/class/leds, which only a board (or ledsim's simulated
// tree) has: without it every request fails, so say where to run lightsctl instead.
// stat, not access: ledsim's journal shows every access probe, and this one is not
// the module's.
void printNoLedTreeHint()
{
    struct stat status;
    if (stat("/sys/class/leds", &status) != 0 && errno == ENOENT)
        fprintf(stderr,
                "lightsctl: this machine has no /sys/class/leds, so every request will fail: run lightsctl "
                "on a board or inside ledsim (ledsim --profile PROFILE -- lightsctl ...)\n");
}

std::string statusText(int status)
{
    if (status == 0)
        return "0";
    return std::to_string(status) + " (" + (status < 0 ? strerror(-status) : "unexpected status") + ")";
}

// The words before the requests: help, a missing module, or a light where the module
// belongs. Returns the exit status when the run ends here, -1 when it goes on.
int exitBeforeRequests(const std::vector<std::string>& words)
{
    if (!words.empty() && (words[0] == "-h" || words[0] == "--help")) {
        printHelp(stdout);
        return 0;
    }
    if (words.empty()) {
        fprintf(stderr, "lightsctl: no module given\n");
        printHelp(stderr);
        return EXIT_USAGE;
    }
    if (lightsctl::isKnownLight(words[0])) {
        fprintf(stderr,
                "lightsctl: \"%s\" is a light, not a module: the module comes first (lightsctl MODULE "
                "LIGHT COLOR ...)\n",
                words[0].c_str());
        return EXIT_USAGE;
    }
    return -1;
}

// Loads MODULE, a file when it has a '/' and a board name otherwise; false, with the
// reason printed, when it cannot be loaded.
bool loadModuleArgument(const std::string& moduleArgument, quorvel::ModuleHandle& module)
{
    const bool isPath = moduleArgument.find('/') != std::string::npos;
    std::string error;
    const int loaded = isPath ? quorvel::loadModule(moduleArgument, module, error)
                              : quorvel::loadModuleForBoard(moduleArgument, module, error);
    if (loaded == 0)
        return true;
    fprintf(stderr, "lightsctl: %s\n", error.c_str());
    if (!isPath)
        printModuleFolderHint();
    return false;
}

// Sends each request to its light's device, in order, printing one status line per
// request; requests to one light share the device opened for the first of them.
// Returns the exit status.
int sendRequests(const ModuleInfo& module, const std::vector<lightsctl::Request>& requests)
{
    int exitStatus = 0;
    std::map<std::string, lightsctl::LightDeviceHandle> devices;
    for (const lightsctl::Request& request : requests) {
        lightsctl::LightDeviceHandle& device = devices[request.light];
        if (!device) {
            const int opened = lightsctl::openLightDevice(module, request.light, device);
            if (opened != 0 || !device) {
                printf("%s: open failed: %s\n", request.light.c_str(), statusText(opened).c_str());
                exitStatus = EXIT_REQUEST_FAILED;
                continue;
            }
        }
        const int status = device->set_state(device.get(), &request.state);
        printf("%s: %s\n", request.light.c_str(), statusText(status).c_str());
        if (status != 0)
            exitStatus = EXIT_REQUEST_FAILED;
    }
    fflush(stdout);
    // Closed in the order of the lights' names, after every status line is out.
    for (auto& [light, device] : devices)
        device.reset();
    return exitStatus;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> words(argv + 1, argv + argc);
    const int early = exitBeforeRequests(words);
    if (early >= 0)
        return early;
    std::vector<lightsctl::Request> requests;
    std::string error;
    if (!lightsctl::parseRequests(std::vector<std::string>(words.begin() + 1, words.end()), requests, error)) {
        fprintf(stderr, "lightsctl: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    quorvel::ModuleHandle module;
    if (!loadModuleArgument(words[0], module))
        return EXIT_LOAD_FAILED;
    printNoLedTreeHint();
    return sendRequests(*module.info(), requests);
}
