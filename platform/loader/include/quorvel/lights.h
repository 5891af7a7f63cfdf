// The device record and request record of a lights module, shared by the module,
// the loader's callers and the bring-up tools.
#pragma once

#include <quorvel/hw_module.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// One request to a light. `color` is 0xAARRGGBB (the alpha byte is ignored); the
// other fields are signed and compared as signed values.
typedef struct LightState {
    uint32_t color;
    int32_t flash_mode;
    int32_t on_ms;
    int32_t off_ms;
    int32_t brightness_mode;
} LightState;

// Values of LightState::flash_mode with a meaning of their own.
#define LIGHT_FLASH_NONE 0
#define LIGHT_FLASH_TIMED 1
#define LIGHT_FLASH_TRACKBALL_MODE 2

// Handed out by a module's open entry and owned by the caller until it calls `close`.
// Read at fixed offsets by callers: 68 bytes on the 32-bit target.
typedef struct LightDevice {
    uint32_t tag;
    uint32_t version;
    const ModuleInfo* module;
    uint32_t reserved[12];
    int (*close)(struct LightDevice* device);
    int (*set_state)(struct LightDevice* device, const LightState* state);
} LightDevice;

#ifdef __cplusplus
}
#endif

#if defined(__cplusplus)
#include <stddef.h>
static_assert(sizeof(LightState) == 20);
#if __SIZEOF_POINTER__ == 4
static_assert(sizeof(LightDevice) == 68, "LightDevice is 68 bytes on the target");
static_assert(offsetof(LightDevice, tag) == 0);
static_assert(offsetof(LightDevice, version) == 4);
static_assert(offsetof(LightDevice, module) == 8);
static_assert(offsetof(LightDevice, reserved) == 12);
static_assert(offsetof(LightDevice, close) == 60);
static_assert(offsetof(LightDevice, set_state) == 64);
#endif
#endif
