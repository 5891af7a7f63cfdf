// Marks the few symbols a lights module exports; everything else is hidden.
#pragma once

#define LIGHTS_EXPORT __attribute__((visibility("default")))

// A module binds its own symbols. Its exported names (init_globals and the path
// globals) are also exported by the other board's module, and a host may define them
// too; a reference through the dynamic symbol table would then reach whichever copy
// the dynamic linker found first, so a module loaded after another one (RTLD_GLOBAL)
// would run the other's init_globals or read the other's paths. The module's code
// therefore names each such symbol through a hidden assembler name of its own
// (LIGHTS_LOCAL_NAME, on the declaration every part of the module sees), and the
// exported name is only an alias of it (LIGHTS_EXPORT_ALIAS, beside the definition).
#define LIGHTS_LOCAL_NAME(name) __asm__("lights_local_" #name) __attribute__((visibility("hidden")))
#define LIGHTS_EXPORT_ALIAS(name)                                                                                      \
    extern __typeof__(name) lights_export_##name __asm__(#name)                                                        \
        __attribute__((alias("lights_local_" #name), visibility("default")))
