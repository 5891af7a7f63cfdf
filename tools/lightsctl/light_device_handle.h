// LightDeviceHandle: owns a device a lights module opened and closes it through the
// device's own close entry exactly once, as ModuleHandle owns the module.
#pragma once

#include <quorvel/lights.h>

#include <string>

namespace lightsctl {

// Movable, not copyable: a device has one owner, and the one moved from closes
// nothing. The module that opened the device must stay mapped while it is held.
class LightDeviceHandle {
public:
    LightDeviceHandle() = default;
    explicit LightDeviceHandle(LightDevice* device)
        : mDevice(device)
    {
    }
    ~LightDeviceHandle() { reset(); }
    LightDeviceHandle(LightDeviceHandle&& other) noexcept;
    LightDeviceHandle& operator=(LightDeviceHandle&& other) noexcept;
    LightDeviceHandle(const LightDeviceHandle&) = delete;
    LightDeviceHandle& operator=(const LightDeviceHandle&) = delete;

    LightDevice* get() const { return mDevice; }
    LightDevice* operator->() const { return mDevice; }
    explicit operator bool() const { return mDevice != nullptr; }

    // Closes the device held (if any) and holds `device` instead.
    void reset(LightDevice* device = nullptr);

private:
    LightDevice* mDevice = nullptr;
};

// Opens the light `name` through the module's open entry and returns the entry's
// status. `device` holds the new device when the entry returned 0 and stored one,
// and is empty otherwise; a device it held before is closed first.
int openLightDevice(const ModuleInfo& module, const std::string& name, LightDeviceHandle& device);

} // namespace lightsctl
