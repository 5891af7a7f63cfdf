// Opening and closing a module's devices for lightsctl.
#include "light_device_handle.h"

#include <utility>

namespace lightsctl {

LightDeviceHandle::LightDeviceHandle(LightDeviceHandle&& other) noexcept
    : mDevice(std::exchange(other.mDevice, nullptr))
{
}

LightDeviceHandle& LightDeviceHandle::operator=(LightDeviceHandle&& other) noexcept
{
    if (this != &other)
        reset(std::exchange(other.mDevice, nullptr));
    return *this;
}

void LightDeviceHandle::reset(LightDevice* device)
{
    // A failed close leaves the owner nothing to undo, so its status is not kept.
    LightDevice* old = std::exchange(mDevice, device);
    if (old != nullptr)
        old->close(old);
}

int openLightDevice(const ModuleInfo& module, const std::string& name, LightDeviceHandle& device)
{
    device.reset();
    LightDevice* opened = nullptr;
    const int status = module.methods->open(&module, name.c_str(), &opened);
    // A refusing entry owns whatever it left in `opened`: closing it is not ours.
    if (status == 0)
        device.reset(opened);
    return status;
}

} // namespace lightsctl
