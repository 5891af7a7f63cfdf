#pragma once
// Connection: the client side of one socket to a hosting process. Transactions on it
// are serialised: each sends one frame and waits for the one reply frame. Once the
// peer has gone (or spoken nonsense) the connection stays dead and every further
// transaction fails with DEAD_OBJECT.

#include <quorvel/parcel.h>
#include <quorvel/ref_base.h>
#include <quorvel/status.h>
#include <quorvel/strong_pointer.h>

#include "parcel_access.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <sys/un.h>
#include <vector>

namespace quorvel {

class Connection : public RefBase {
public:
    // Connects to `endpoint` (a socket path, or '@' and an abstract name).
    static sp<Connection> connectTo(const std::string& endpoint, status_t* status);

    status_t transact(uint32_t handle, uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags);

    int fd() const { return mFd; }
    bool isDead() const;
    const std::string& endpoint() const { return mEndpoint; }

    ~Connection() override;

private:
    Connection(int fd, std::string endpoint);
    status_t failLocked(status_t status);

    // Lock order: a transaction holds mLock while it encodes and decodes, which takes
    // the ProcessHost lock; so nothing may take mLock while holding that one.
    // isDead() therefore reads an atomic rather than locking.
    std::mutex mLock;
    const int mFd;
    const std::string mEndpoint;
    std::atomic<bool> mDead{false};
    ParcelAccess::Buffer mReceive;           // the body of the last frame received
    std::vector<uint8_t> mObjectTable;       // scratch for outgoing object records
};

// Fills a sockaddr_un for `endpoint`; false when it does not fit.
bool endpointAddress(const std::string& endpoint, sockaddr_un* address, unsigned* length);

} // namespace quorvel
