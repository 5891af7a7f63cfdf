#include "process_endpoint.h"

namespace quorvel {

status_t ProcessEndpoint::listenOnPath(const std::string& path, SocketPathRefusal* refusal)
{
    std::lock_guard<std::mutex> lock(mLock);
    if (mState.load() != NONE)
        return BAD_VALUE;
    const status_t status = mEndpoint.listenOnPath(path, refusal);
    if (status == OK) {
        mAddress = mEndpoint.address();
        mState.store(LISTENING, std::memory_order_release);
    }
    return status;
}

status_t ProcessEndpoint::ensureLocked()
{
    switch (mState.load()) {
    case LISTENING: return OK;
    case CLOSED: return DEAD_OBJECT; // closed when serving stopped; references to it are dead
    default: break;
    }
    // Abstract names vanish with their socket, so a crashed host leaves nothing behind.
    const status_t status = mEndpoint.listenAbstract();
    if (status == OK) {
        mAddress = mEndpoint.address();
        mState.store(LISTENING, std::memory_order_release);
    }
    return status;
}

status_t ProcessEndpoint::ensureListening(const std::string** address)
{
    // Every object this process sends asks: no lock once the endpoint is there.
    if (mState.load(std::memory_order_acquire) != LISTENING) {
        std::lock_guard<std::mutex> lock(mLock);
        if (const status_t status = ensureLocked(); status != OK)
            return status;
    }
    *address = &mAddress;
    return OK;
}

status_t ProcessEndpoint::listeningFd(int* fd)
{
    std::lock_guard<std::mutex> lock(mLock);
    const status_t status = ensureLocked();
    if (status == OK)
        *fd = mEndpoint.fd();
    return status;
}

bool ProcessEndpoint::isOwn(const std::string& endpoint) const
{
    return mState.load(std::memory_order_acquire) != NONE && endpoint == mAddress;
}

std::string ProcessEndpoint::address() const
{
    std::lock_guard<std::mutex> lock(mLock);
    return mAddress;
}

void ProcessEndpoint::closeFile()
{
    std::lock_guard<std::mutex> lock(mLock);
    if (mState.load() == LISTENING && mAddress[0] != '@') {
        mEndpoint.close();
        mState.store(CLOSED);
    }
}

} // namespace quorvel
