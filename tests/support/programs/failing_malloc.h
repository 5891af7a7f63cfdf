// Lets the entry probe make one allocation fail, to see a module cope with it.
// Only in the probe built without sanitizers, whose allocators cannot be replaced.
#pragma once

#include <stddef.h>

namespace lights_test {

// The next malloc() of exactly `size` bytes, from anyone, returns null.
void failNextMallocOf(size_t size);

} // namespace lights_test
