#pragma once
// sp<T>: a strong reference to a RefBase-derived object. Copying takes a reference
// (incStrong), destruction and reassignment release one (decStrong).

#include <cstddef>
#include <utility>

namespace quorvel {

template <typename T>
class sp {
public:
    sp() = default;
    sp(std::nullptr_t) {}
    sp(T* other)
        : mPtr(other)
    {
        if (mPtr)
            mPtr->incStrong(this);
    }
    sp(const sp& other)
        : sp(other.mPtr)
    {
    }
    sp(sp&& other) noexcept
        : mPtr(std::exchange(other.mPtr, nullptr))
    {
    }
    template <typename U>
    sp(const sp<U>& other)
        : sp(other.get())
    {
    }
    template <typename U>
    sp(sp<U>&& other) noexcept
        : mPtr(other.release())
    {
    }
    ~sp() { clear(); }

    sp& operator=(const sp& other)
    {
        sp(other).swap(*this);
        return *this;
    }
    sp& operator=(sp&& other) noexcept
    {
        sp(std::move(other)).swap(*this);
        return *this;
    }
    sp& operator=(T* other)
    {
        sp(other).swap(*this);
        return *this;
    }
    sp& operator=(std::nullptr_t)
    {
        clear();
        return *this;
    }

    void clear()
    {
        if (T* p = std::exchange(mPtr, nullptr))
            p->decStrong(this);
    }

    // Hands the reference to the caller without releasing it; used by converting moves.
    T* release() noexcept { return std::exchange(mPtr, nullptr); }

    void swap(sp& other) noexcept { std::swap(mPtr, other.mPtr); }

    T* get() const { return mPtr; }
    T& operator*() const { return *mPtr; }
    T* operator->() const { return mPtr; }
    explicit operator bool() const { return mPtr != nullptr; }

    friend bool operator==(const sp& a, const sp& b) { return a.mPtr == b.mPtr; }
    friend bool operator==(const sp& a, std::nullptr_t) { return a.mPtr == nullptr; }

private:
    T* mPtr = nullptr;
};

} // namespace quorvel
