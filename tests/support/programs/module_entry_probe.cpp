// Test driver for the lights module entry: loads a module through the loader and
// runs the steps given on the command line, printing one result line per step.
//
//   entry_probe MODULE STEP...
//   open:NAME                        open a device (kept for later steps)
//   set:NAME:COLOR:FLASH:ON:OFF:BM   send a request through NAME's device
//   keep-out:NAME                    open with a marked out-pointer; report if it changed
//   null-name | null-out:NAME | null-request:NAME | close-null:NAME
//   two-devices:NAME                 open NAME twice: distinct records, same handler?
//   close:NAME                       close NAME's device (a later step opens a new one)
//   threads:N:ROUNDS                 N threads open lights at once and send requests
//   trace-opens | opens              note the flags of attribute opens; print them
//   nomem:NAME                       open while the device allocation fails
//   touch:PATH | cat:PATH            create a file ("-\n", with its folders) | print it
//   load:local|global:PATH           map another module; later steps use it
//   reinit-while-held                call the exported init_globals while a keyboard
//                                    request holds the lock; can a buttons request
//                                    get in beside it?
//
// MODULE "-" starts with no module mapped (for load steps).
#include "open_tracer.h"
#ifdef LIGHTS_PROBE_FAILING_MALLOC
#include "failing_malloc.h"
#endif

#include <quorvel/lights.h>
#include <quorvel/module_loader.h>

#include <dlfcn.h>
#include <pthread.h>
#include <sys/stat.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// The module the steps act on, and every module mapped so far.
const ModuleInfo* info = nullptr;
std::vector<quorvel::ModuleHandle> modules;
std::map<std::string, LightDevice*> devices;

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts(1); // "a:" is "a" and an empty part
    for (const char c : text) {
        if (c == separator)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

int openDevice(const char* name, LightDevice** device)
{
    return info->methods->open(info, name, device);
}

LightDevice* deviceFor(const std::string& name)
{
    LightDevice*& device = devices[name];
    if (device == nullptr && openDevice(name.c_str(), &device) != 0)
        device = nullptr;
    return device;
}

// What a refused open must leave in the out-pointer.
LightDevice* const MARKER = reinterpret_cast<LightDevice*>(static_cast<uintptr_t>(0x5A5A5A50));

// Six lights, one per thread in turn; every request is checked for its status.
void runThreads(int threadCount, int rounds)
{
    static const char* const LIGHTS[] = {"backlight", "keyboard", "buttons", "battery", "notifications", "attention"};
    std::atomic<int> ready{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            const char* light = LIGHTS[t % 6];
            // Everyone opens at once: the first open's board probe races the others.
            ready.fetch_add(1);
            while (ready.load() < threadCount)
                std::this_thread::yield();
            LightDevice* device = nullptr;
            if (openDevice(light, &device) != 0) {
                failures.fetch_add(1);
                return;
            }
            for (int round = 0; round < rounds; ++round) {
                LightState state{};
                state.color = (round % 3 == 0) ? 0xFF00FF00u : (round % 3 == 1) ? 0x00FF0000u : 0u;
                state.flash_mode = round % 2;
                state.on_ms = 100 + round;
                state.off_ms = 300;
                state.brightness_mode = round % 2;
                if (device->set_state(device, &state) != 0)
                    failures.fetch_add(1);
            }
            device->close(device);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    printf("threads = %d failures\n", failures.load());
}

void closeDevices()
{
    for (auto& [name, device] : devices) {
        if (device != nullptr)
            device->close(device);
    }
    devices.clear();
}

bool load(const std::string& path, quorvel::SymbolScope scope)
{
    quorvel::ModuleHandle module;
    std::string error;
    if (quorvel::loadModule(path, module, error, scope) != 0) {
        fprintf(stderr, "entry_probe: %s\n", error.c_str());
        return false;
    }
    // Devices belong to the module that handed them out.
    closeDevices();
    info = module.info();
    modules.push_back(std::move(module));
    return true;
}

int sendColor(const char* light, uint32_t color)
{
    LightDevice* device = nullptr;
    if (openDevice(light, &device) != 0)
        return -1000;
    LightState state{};
    state.color = color;
    const int status = device->set_state(device, &state);
    device->close(device);
    return status;
}

// `name` as the module the steps act on exports it, not as the global scope has it
// (the decoy probe defines the same names). The reference RTLD_NOLOAD takes is given
// back at once: the module's handle in `modules` keeps it mapped.
void* symbolOfCurrentModule(const char* name)
{
    Dl_info where{};
    if (dladdr(info, &where) == 0 || where.dli_fname == nullptr)
        return nullptr;
    void* library = dlopen(where.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (library == nullptr)
        return nullptr;
    void* symbol = dlsym(library, name);
    dlclose(library);
    return symbol;
}

void reinitWhileHeld()
{
    const auto exported = reinterpret_cast<void (*)(void)>(symbolOfCurrentModule("init_globals"));
    if (exported == nullptr) {
        printf("reinit-while-held: no init_globals\n");
        return;
    }
    lights_test::parkNextOpenOf("/sys/class/leds/keyboard-backlight/brightness");
    int keyboard = -1000;
    int buttons = -1000;
    std::thread holder([&] { keyboard = sendColor("keyboard", 1); });
    const bool parked = lights_test::waitUntilParked(10000);
    std::thread intruder;
    bool overlap = false;
    if (parked) {
        exported();
        intruder = std::thread([&] { buttons = sendColor("buttons", 1); });
        // With the lock held the buttons request cannot reach its open; give a
        // broken lock ample time to show.
        overlap = lights_test::waitForOpenWhileParked(500);
    }
    lights_test::releaseParkedOpen();
    holder.join();
    if (intruder.joinable())
        intruder.join();
    printf("reinit-while-held parked=%d overlap=%d keyboard=%d buttons=%d\n", parked ? 1 : 0, overlap ? 1 : 0, keyboard,
           buttons);
}

bool runStep(const std::string& step)
{
    const std::vector<std::string> parts = split(step, ':');
    const std::string& op = parts[0];
    const std::string name = parts.size() > 1 ? parts[1] : "";
    if (op == "open" && parts.size() == 2) {
        LightDevice* device = nullptr;
        const int status = openDevice(name.c_str(), &device);
        if (status == 0)
            devices[name] = device;
        printf("open %s = %d\n", name.c_str(), status);
    } else if (op == "set" && parts.size() == 7) {
        LightState state{};
        state.color = static_cast<uint32_t>(strtoul(parts[2].c_str(), nullptr, 0));
        state.flash_mode = atoi(parts[3].c_str());
        state.on_ms = atoi(parts[4].c_str());
        state.off_ms = atoi(parts[5].c_str());
        state.brightness_mode = atoi(parts[6].c_str());
        LightDevice* device = deviceFor(name);
        if (device == nullptr) {
            printf("set %s: no device\n", name.c_str());
            return false;
        }
        printf("set %s = %d\n", name.c_str(), device->set_state(device, &state));
    } else if (op == "keep-out" && parts.size() == 2) {
        LightDevice* device = MARKER;
        const int status = openDevice(name.c_str(), &device);
        printf("keep-out %s = %d untouched=%d\n", name.c_str(), status, device == MARKER ? 1 : 0);
        if (status == 0 && device != MARKER)
            device->close(device);
    } else if (op == "null-name") {
        LightDevice* device = MARKER;
        const int status = openDevice(nullptr, &device);
        printf("null-name = %d untouched=%d\n", status, device == MARKER ? 1 : 0);
    } else if (op == "null-out" && parts.size() == 2) {
        printf("null-out %s = %d\n", name.c_str(), openDevice(name.c_str(), nullptr));
    } else if (op == "null-request" && parts.size() == 2) {
        LightDevice* device = deviceFor(name);
        printf("null-request %s = %d\n", name.c_str(), device != nullptr ? device->set_state(device, nullptr) : -1000);
    } else if (op == "close-null" && parts.size() == 2) {
        LightDevice* device = deviceFor(name);
        printf("close-null = %d\n", device != nullptr ? device->close(nullptr) : -1000);
    } else if (op == "close" && parts.size() == 2) {
        LightDevice* device = deviceFor(name);
        devices.erase(name);
        printf("close %s = %d\n", name.c_str(), device != nullptr ? device->close(device) : -1000);
    } else if (op == "two-devices" && parts.size() == 2) {
        LightDevice* first = nullptr;
        LightDevice* second = nullptr;
        const int a = openDevice(name.c_str(), &first);
        const int b = openDevice(name.c_str(), &second);
        if (a != 0 || b != 0) {
            printf("two-devices %s = %d %d\n", name.c_str(), a, b);
            return true;
        }
        printf("two-devices %s distinct=%d same-handler=%d\n", name.c_str(), first != second ? 1 : 0,
               first->set_state == second->set_state ? 1 : 0);
        // Kept open: later steps send requests through both.
        devices[name + "#1"] = first;
        devices[name + "#2"] = second;
    } else if (op == "nomem" && parts.size() == 2) {
#ifdef LIGHTS_PROBE_FAILING_MALLOC
        LightDevice* device = MARKER;
        lights_test::failNextMallocOf(sizeof(LightDevice));
        const int status = openDevice(name.c_str(), &device);
        lights_test::failNextMallocOf(0);
        printf("nomem %s = %d untouched=%d\n", name.c_str(), status, device == MARKER ? 1 : 0);
#else
        printf("nomem unsupported\n");
#endif
    } else if (op == "touch" && parts.size() == 2) {
        for (size_t slash = name.find('/', 1); slash != std::string::npos; slash = name.find('/', slash + 1))
            mkdir(name.substr(0, slash).c_str(), 0755);
        // A value no module writes, so that any write shows.
        FILE* file = fopen(name.c_str(), "we");
        const bool written = file != nullptr && fputs("-\n", file) >= 0;
        printf("touch %s = %d\n", name.c_str(), file != nullptr && fclose(file) == 0 && written ? 0 : -1);
    } else if (op == "cat" && parts.size() == 2) {
        FILE* file = fopen(name.c_str(), "re");
        std::string text;
        for (int c; file != nullptr && (c = fgetc(file)) != EOF;)
            text += c == '\n' ? std::string("\\n") : std::string(1, static_cast<char>(c));
        printf("cat %s = %s\n", name.c_str(), file == nullptr ? "missing" : text.c_str());
        if (file != nullptr)
            fclose(file);
    } else if (op == "trace-opens") {
        lights_test::startTracingOpens();
    } else if (op == "opens") {
        for (const std::string& line : lights_test::tracedOpens())
            printf("opened %s\n", line.c_str());
    } else if (op == "load" && parts.size() >= 3 && (name == "local" || name == "global")) {
        const std::string path = step.substr(op.size() + name.size() + 2);
        if (!load(path, name == "global" ? quorvel::SymbolScope::Global : quorvel::SymbolScope::Local))
            return false;
        printf("load %s = 0\n", name.c_str());
    } else if (op == "reinit-while-held") {
        reinitWhileHeld();
    } else if (op == "threads" && parts.size() == 3) {
        runThreads(atoi(parts[1].c_str()), atoi(parts[2].c_str()));
    } else {
        fprintf(stderr, "entry_probe: bad step \"%s\"\n", step.c_str());
        return false;
    }
    fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: entry_probe MODULE STEP...\n");
        return 2;
    }
    if (strcmp(argv[1], "-") != 0 && !load(argv[1], quorvel::SymbolScope::Local))
        return 3;
    for (int i = 2; i < argc; ++i) {
        if (info == nullptr && strncmp(argv[i], "load:", 5) != 0) {
            fprintf(stderr, "entry_probe: no module loaded for \"%s\"\n", argv[i]);
            return 2;
        }
        if (!runStep(argv[i]))
            return 2;
    }
    closeDevices();
    modules.clear();
    return 0;
}
