// The hardware module loader: maps a lights module, by file path or by board name
// from the module folder, and hands back its checked module record.
#pragma once

#include <quorvel/hw_module.h>

#include <string>
#include <string_view>

namespace quorvel {

// The environment variable naming the folder that holds "lights.<board>.so" files.
inline constexpr const char* MODULE_DIR_VARIABLE = "QUORVEL_MODULE_DIR";

// A mapped module, as a ModuleHandle holds it. The record stays valid until the
// module is unmapped.
struct LoadedModule {
    void* library = nullptr;
    const ModuleInfo* info = nullptr;
};

// ModuleHandle: owns a mapped module and unmaps it when it goes, so a caller's error
// paths are plain returns. Its record stays valid for as long as the handle holds it.
class ModuleHandle {
public:
    ModuleHandle() = default;
    explicit ModuleHandle(LoadedModule module)
        : mModule(module)
    {
    }
    ~ModuleHandle() { reset(); }
    ModuleHandle(ModuleHandle&& other) noexcept
        : mModule(other.release())
    {
    }
    ModuleHandle& operator=(ModuleHandle&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ModuleHandle(const ModuleHandle&) = delete;
    ModuleHandle& operator=(const ModuleHandle&) = delete;

    // The checked module record; null when the handle holds no module.
    const ModuleInfo* info() const { return mModule.info; }
    explicit operator bool() const { return mModule.library != nullptr; }

    // Gives the module up without unmapping it.
    LoadedModule release();
    // Unmaps the module held (if any) and holds `module` instead.
    void reset(LoadedModule module = {});

private:
    LoadedModule mModule;
};

// Whether a module's exported names may serve the modules mapped after it. The
// platform maps modules Local; Global exists to prove that a module still binds its
// own symbols when another module's are in the global scope.
enum class SymbolScope {
    Local,
    Global
};

// The folder searched for board names: $QUORVEL_MODULE_DIR if set and not empty,
// else defaultModuleDirectory().
std::string moduleDirectory();

// The installation's module folder, compiled in.
const char* defaultModuleDirectory();

// "<moduleDirectory()>/lights.<board>.so"; empty when the board name is unusable
// (empty, or containing '/' or a NUL, or "." or "..").
std::string modulePathForBoard(std::string_view board);

// Maps the file and checks its HMI record (tag, major version 1, id "lights", an
// open entry). Returns 0 with `module` holding it, or a negated errno value with a
// message in `error` and `module` empty. A module `module` held before is unmapped.
int loadModule(const std::string& path, ModuleHandle& module, std::string& error,
               SymbolScope scope = SymbolScope::Local);

// The same for "lights.<board>.so" in the module folder.
int loadModuleForBoard(std::string_view board, ModuleHandle& module, std::string& error);

// Unmaps a module that ModuleHandle::release() gave up and empties `module`; a no-op
// for an empty one.
void unloadModule(LoadedModule& module);

} // namespace quorvel
