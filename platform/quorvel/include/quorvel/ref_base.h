#pragma once
// Intrusive strong reference count shared by every object handed around through sp<>.
// An object is deleted when its last strong reference is released. Thread-safe.

#include <atomic>
#include <cstdint>

namespace quorvel {

class RefBase {
public:
    // `id` names the holder of the reference; it is accepted for symmetry with the
    // platform's interface and not tracked.
    void incStrong(const void* id) const
    {
        (void)id;
        mStrong.fetch_add(1, std::memory_order_relaxed);
    }

    void decStrong(const void* id) const
    {
        (void)id;
        if (mStrong.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }

    int32_t getStrongCount() const { return mStrong.load(std::memory_order_relaxed); }

    RefBase(const RefBase&) = delete;
    RefBase& operator=(const RefBase&) = delete;

protected:
    RefBase() = default;
    virtual ~RefBase() = default;

private:
    mutable std::atomic<int32_t> mStrong{0};
};

} // namespace quorvel
