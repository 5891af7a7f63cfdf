// Marks the few symbols a lights module exports; everything else is hidden.
#pragma once

#define LIGHTS_EXPORT __attribute__((visibility("default")))
