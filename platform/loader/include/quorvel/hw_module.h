// The records a hardware module exports for the module loader: the module record
// `ModuleInfo` (exported as `HMI`) and its method table.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// "HWMT", first character in the most significant byte.
#define MODULE_TAG 0x48574D54u
// "HWDT": the tag of every device record a module hands out.
#define DEVICE_TAG 0x48574454u

// The name of the data symbol every module exports.
#define MODULE_INFO_SYMBOL "HMI"

struct ModuleInfo;
struct LightDevice;

typedef struct ModuleMethods {
    // Opens one device of the module; `name` selects which. Returns 0 and stores a
    // new device through `device`, or a negated errno value.
    int (*open)(const struct ModuleInfo* module, const char* name, struct LightDevice** device);
} ModuleMethods;

// Read by the loader and its callers straight from the module's memory, so the
// layout is fixed: 128 bytes on the 32-bit target, same field order elsewhere.
typedef struct ModuleInfo {
    uint32_t tag;
    uint16_t version_major;
    uint16_t version_minor;
    const char* id;
    const char* name;
    const char* author;
    const ModuleMethods* methods;
    uint32_t reserved[26];
} ModuleInfo;

#ifdef __cplusplus
}
#endif

#if defined(__cplusplus) && __SIZEOF_POINTER__ == 4
#include <stddef.h>
static_assert(sizeof(ModuleInfo) == 128, "ModuleInfo is 128 bytes on the target");
static_assert(offsetof(ModuleInfo, tag) == 0);
static_assert(offsetof(ModuleInfo, version_major) == 4);
static_assert(offsetof(ModuleInfo, version_minor) == 6);
static_assert(offsetof(ModuleInfo, id) == 8);
static_assert(offsetof(ModuleInfo, name) == 12);
static_assert(offsetof(ModuleInfo, author) == 16);
static_assert(offsetof(ModuleInfo, methods) == 20);
static_assert(offsetof(ModuleInfo, reserved) == 24);
static_assert(sizeof(ModuleMethods) == 4);
#endif
