// lightsctl's owner of opened devices: each is closed through its own close entry
// exactly once, whichever way the handle goes, and a refused open holds nothing.
#include "light_device_handle.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>

#include <utility>

namespace {

using lightsctl::LightDeviceHandle;

int countClose(LightDevice* device);

// A device whose close entry counts its calls; the record comes first, so the
// device pointer is the fake's own address.
struct CountedDevice {
    LightDevice device{};
    int closes = 0;

    CountedDevice() { device.close = countClose; }
};

int countClose(LightDevice* device)
{
    ++reinterpret_cast<CountedDevice*>(device)->closes;
    return 0;
}

TEST(LightDeviceHandle, ClosesItsDeviceExactlyOnceWhereverItGoes)
{
    CountedDevice first, second;
    {
        LightDeviceHandle moved(&first.device);
        LightDeviceHandle to(&second.device);
        LightDeviceHandle from(std::move(moved));
        EXPECT_FALSE(moved);
        to = std::move(from);
        EXPECT_EQ(second.closes, 1) << "the device replaced by a move is closed at once";
        LightDeviceHandle& same = to;
        to = std::move(same);
        EXPECT_EQ(first.closes, 0) << "a move closed the device it moved";
    }
    EXPECT_EQ(first.closes, 1) << "a moved device is closed once, by its last handle";
    EXPECT_EQ(second.closes, 1);
}

CountedDevice gOpened, gLeftOnRefusal;

// "ok" opens gOpened; any other name is refused, with gLeftOnRefusal left behind.
int fakeOpen(const ModuleInfo*, const char* name, LightDevice** device)
{
    const bool ok = strcmp(name, "ok") == 0;
    *device = ok ? &gOpened.device : &gLeftOnRefusal.device;
    return ok ? 0 : -EINVAL;
}

TEST(LightDeviceHandle, ARefusedOpenClosesWhatWasHeldAndHoldsNothing)
{
    static const ModuleMethods methods = {fakeOpen};
    ModuleInfo module{};
    module.methods = &methods;
    {
        LightDeviceHandle device;
        ASSERT_EQ(lightsctl::openLightDevice(module, "ok", device), 0);
        EXPECT_EQ(device.get(), &gOpened.device);
        EXPECT_EQ(lightsctl::openLightDevice(module, "lcd", device), -EINVAL);
        EXPECT_FALSE(device);
        EXPECT_EQ(gOpened.closes, 1);
    }
    EXPECT_EQ(gOpened.closes, 1);
    EXPECT_EQ(gLeftOnRefusal.closes, 0) << "what a refusing entry left in the out-pointer was closed";
}

} // namespace
