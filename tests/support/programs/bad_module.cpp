// A module whose record the loader must refuse; which flaw is chosen at build time.
#include <quorvel/hw_module.h>

#if defined(BAD_TAG)
#define FLAWED_TAG 0x48574D55u
#else
#define FLAWED_TAG MODULE_TAG
#endif
#if defined(BAD_VERSION)
#define FLAWED_VERSION_MAJOR 2
#else
#define FLAWED_VERSION_MAJOR 1
#endif
#if defined(BAD_ID)
#define FLAWED_ID "lamps"
#else
#define FLAWED_ID "lights"
#endif

namespace {

int openNothing(const ModuleInfo*, const char*, LightDevice**)
{
    return -22;
}

const ModuleMethods methods = {openNothing};

} // namespace

extern "C" __attribute__((visibility("default"))) const ModuleInfo HMI = {
    FLAWED_TAG, FLAWED_VERSION_MAJOR, 0, FLAWED_ID, "Broken module", "Nobody", &methods, {},
};
