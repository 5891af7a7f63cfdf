// Maps lights modules with the dynamic linker and vets their module record before
// anyone calls into them.
#include <quorvel/module_loader.h>

#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <utility>

#ifndef QUORVEL_DEFAULT_MODULE_DIR
#define QUORVEL_DEFAULT_MODULE_DIR "/usr/lib/quorvel/hw"
#endif

namespace quorvel {

namespace {

const char* const EXPECTED_ID = "lights";
const uint16_t EXPECTED_VERSION_MAJOR = 1;

std::string hex32(uint32_t value)
{
    char text[11];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

int reject(void* library, std::string& error, std::string message)
{
    dlclose(library);
    error = std::move(message);
    return -EINVAL;
}

// The dynamic linker starts most of its messages with the file name, which our
// message already gives.
std::string withoutPath(const char* why, const std::string& path)
{
    if (why == nullptr)
        return "unknown error";
    const std::string text = why;
    const std::string prefix = path + ": ";
    return text.starts_with(prefix) ? text.substr(prefix.size()) : text;
}

} // namespace

const char* defaultModuleDirectory()
{
    return QUORVEL_DEFAULT_MODULE_DIR;
}

std::string moduleDirectory()
{
    const char* fromEnvironment = getenv(MODULE_DIR_VARIABLE);
    if (fromEnvironment != nullptr && fromEnvironment[0] != '\0')
        return fromEnvironment;
    return defaultModuleDirectory();
}

std::string modulePathForBoard(std::string_view board)
{
    if (board.empty() || board == "." || board == ".." || board.find('/') != std::string_view::npos ||
        board.find('\0') != std::string_view::npos)
        return {};
    std::string path = moduleDirectory();
    if (path.back() != '/')
        path += '/';
    path += "lights.";
    path += board;
    path += ".so";
    return path;
}

LoadedModule ModuleHandle::release()
{
    return std::exchange(mModule, LoadedModule{});
}

void ModuleHandle::reset(LoadedModule module)
{
    LoadedModule old = std::exchange(mModule, module);
    unloadModule(old);
}

int loadModule(const std::string& path, ModuleHandle& module, std::string& error, SymbolScope scope)
{
    module.reset();
    if (path.empty()) {
        error = "no module path given";
        return -EINVAL;
    }
    // A path without a slash would make the dynamic linker search its library path.
    const std::string mapped = path.find('/') == std::string::npos ? "./" + path : path;
    dlerror();
    void* library = dlopen(mapped.c_str(), RTLD_NOW | (scope == SymbolScope::Global ? RTLD_GLOBAL : RTLD_LOCAL));
    if (library == nullptr) {
        error = "cannot load " + path + ": " + withoutPath(dlerror(), mapped);
        return -ENOENT;
    }

    const auto* info = static_cast<const ModuleInfo*>(dlsym(library, MODULE_INFO_SYMBOL));
    if (info == nullptr)
        return reject(library, error, path + ": no " MODULE_INFO_SYMBOL " record");
    if (info->tag != MODULE_TAG)
        return reject(library, error,
                      path + ": bad module tag " + hex32(info->tag) + " (expected " + hex32(MODULE_TAG) + ")");
    if (info->version_major != EXPECTED_VERSION_MAJOR)
        return reject(library, error,
                      path + ": unsupported module version " + std::to_string(info->version_major) + "." +
                          std::to_string(info->version_minor) + " (expected major version 1)");
    if (info->id == nullptr || strcmp(info->id, EXPECTED_ID) != 0)
        return reject(library, error,
                      path + ": module id is " +
                          (info->id != nullptr ? "\"" + std::string(info->id) + "\"" : "missing") + ", not \"lights\"");
    if (info->methods == nullptr || info->methods->open == nullptr)
        return reject(library, error, path + ": module has no open entry");

    module.reset(LoadedModule{library, info});
    return 0;
}

int loadModuleForBoard(std::string_view board, ModuleHandle& module, std::string& error)
{
    module.reset();
    const std::string path = modulePathForBoard(board);
    if (path.empty()) {
        error = "invalid board name \"" + std::string(board) + "\"";
        return -EINVAL;
    }
    return loadModule(path, module, error);
}

void unloadModule(LoadedModule& module)
{
    if (module.library != nullptr)
        dlclose(module.library);
    module = LoadedModule{};
}

} // namespace quorvel
