// malloc() of the no-memory probe: the C library's, except for one armed failure.
// The probe program defines malloc, so a loaded module's calls land here too.
#include "failing_malloc.h"

#include <errno.h>

#include <atomic>

extern "C" void* __libc_malloc(size_t size);

namespace {

std::atomic<size_t> failingSize{0};

} // namespace

extern "C" void* malloc(size_t size)
{
    size_t armed = size;
    if (size != 0 && failingSize.compare_exchange_strong(armed, 0)) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(size);
}

namespace lights_test {

void failNextMallocOf(size_t size)
{
    failingSize.store(size);
}

} // namespace lights_test
