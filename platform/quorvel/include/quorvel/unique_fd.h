#pragma once
// UniqueFd: owns one file descriptor and closes it in its destructor, so error paths
// are plain returns.

#include <unistd.h>

#include <utility>

namespace quorvel {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : mFd(fd)
    {
    }
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept
        : mFd(other.release())
    {
    }
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return mFd; }
    bool valid() const { return mFd >= 0; }
    explicit operator bool() const { return valid(); }

    int release() { return std::exchange(mFd, -1); }
    void reset(int fd = -1)
    {
        if (mFd >= 0)
            ::close(mFd);
        mFd = fd;
    }

private:
    int mFd = -1;
};

} // namespace quorvel
