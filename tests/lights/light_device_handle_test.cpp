// lightsctl's owner of opened devices: each device is closed through its own close
// entry exactly once, whichever way the handle goes, and a refused open leaves
// nothing held.
#include "light_device_handle.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>

#include <utility>

namespace {

using lightsctl::LightDeviceHandle;

// A device whose close entry counts its calls. The record comes first, so the
// device pointer a handle holds is the fake's own address.
struct CountedDevice {
    LightDevice device{};
    int closes = 0;

    CountedDevice() { device.close = countClose; }
    LightDevice* get() { return &device; }

    static int countClose(LightDevice* device)
    {
        ++reinterpret_cast<CountedDevice*>(device)->closes;
        return 0;
    }
};

TEST(LightDeviceHandle, ClosesItsDeviceExactlyOnceWhereverItGoes)
{
    CountedDevice first, second;
    {
        LightDeviceHandle moved(first.get());
        LightDeviceHandle taken(std::move(moved));
        EXPECT_FALSE(moved);
        EXPECT_EQ(taken.get(), first.get());
        EXPECT_EQ(first.closes, 0);
    }
    EXPECT_EQ(first.closes, 1) << "a device moved to another handle is closed once, by the last";

    first.closes = 0;
    {
        LightDeviceHandle from(first.get());
        LightDeviceHandle to(second.get());
        to = std::move(from);
        EXPECT_EQ(second.closes, 1) << "the device replaced by a move is closed at once";
        EXPECT_EQ(first.closes, 0);
        LightDeviceHandle& same = to;
        to = std::move(same);
        EXPECT_EQ(first.closes, 0) << "moving a handle onto itself closed its device";
        EXPECT_TRUE(to);
    }
    EXPECT_EQ(first.closes, 1);
    EXPECT_EQ(second.closes, 1);

    first.closes = second.closes = 0;
    LightDeviceHandle reset(first.get());
    reset.reset(second.get());
    EXPECT_EQ(first.closes, 1);
    reset.reset();
    reset.reset();
    EXPECT_EQ(second.closes, 1);
    EXPECT_FALSE(reset);
}

// The fake module's devices: what its open entry hands out and what it leaves behind
// when it refuses.
CountedDevice gOpened, gLeftOnRefusal;

// "ok" opens gOpened; "refused" stores gLeftOnRefusal yet refuses; "empty" returns 0
// and stores nothing.
int fakeOpen(const ModuleInfo*, const char* name, LightDevice** device)
{
    if (strcmp(name, "ok") == 0) {
        *device = gOpened.get();
        return 0;
    }
    if (strcmp(name, "refused") == 0) {
        *device = gLeftOnRefusal.get();
        return -EINVAL;
    }
    return 0;
}

TEST(LightDeviceHandle, OpeningHoldsOnlyWhatTheModuleOpened)
{
    static const ModuleMethods methods = {fakeOpen};
    ModuleInfo module{};
    module.methods = &methods;
    gOpened.closes = gLeftOnRefusal.closes = 0;
    {
        LightDeviceHandle device;
        ASSERT_EQ(lightsctl::openLightDevice(module, "ok", device), 0);
        EXPECT_EQ(device.get(), gOpened.get());

        // A refusal closes the device held before and holds nothing, not even
        // what the refusing entry left in the out-pointer.
        EXPECT_EQ(lightsctl::openLightDevice(module, "refused", device), -EINVAL);
        EXPECT_FALSE(device);
        EXPECT_EQ(gOpened.closes, 1);

        EXPECT_EQ(lightsctl::openLightDevice(module, "empty", device), 0);
        EXPECT_FALSE(device);
    }
    EXPECT_EQ(gOpened.closes, 1);
    EXPECT_EQ(gLeftOnRefusal.closes, 0) << "a device a refusing entry left behind was closed";
}

} // namespace
