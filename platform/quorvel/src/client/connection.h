#pragma once
// Connection: the client side of one socket to a hosting process, opened only after
// the kernel has shown who listens there. Transactions on it are serialised: each
// sends one frame and waits, up to the IPC deadline, for the one reply frame. Once the
// peer has gone, spoken nonsense or let a reply run out of time the connection stays
// failed (a late reply could otherwise be taken for the answer to a later call); the
// pool then drops it, and the next call opens a fresh one with a deadline of its own.

#include <quorvel/parcel.h>
#include <quorvel/ref_base.h>
#include <quorvel/status.h>
#include <quorvel/strong_pointer.h>
#include <quorvel/unique_fd.h>

#include "parcel_access.h"
#include "frame_codec.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <poll.h>
#include <string>
#include <vector>

namespace quorvel {

// How long a caller waits for a reply (and for a connect or a send to get through):
// $QUORVEL_IPC_TIMEOUT_MS when it is a whole number from 1 to 3,600,000, else 10 s.
// Read once per process.
std::chrono::milliseconds ipcTimeout();

class Connection : public RefBase {
public:
    // Connects to `endpoint` (a socket path, or '@' and an abstract name). References
    // in the frames it carries are described and resolved by `objects`. With
    // `expected`, a listener that is not that process gives DEAD_OBJECT: whoever took
    // the name of a host that died is not the host.
    static sp<Connection> connectTo(const std::string& endpoint, ObjectTable& objects, const PeerIdentity* expected,
                                    status_t* status);

    // Sends one request and waits for its reply. With `sent`, tells whether the request
    // went out in full: a failure before that left the peer nothing to act on, so the
    // request may go again on another connection; after it, never (it may have run).
    status_t transact(uint32_t handle, uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags,
                      bool* sent = nullptr);
    // transact() on a connection that has waited between calls: one whose peer hung up,
    // or sent something unasked, meanwhile fails with DEAD_OBJECT before a byte goes out.
    status_t transactIfQuiet(uint32_t handle, uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags,
                             bool* sent);

    int fd() const { return mFd.get(); }
    bool isDead() const { return mFailure.load() != OK; }
    // OK while usable; else what ended it (DEAD_OBJECT, TIMED_OUT, FAILED_TRANSACTION).
    status_t failure() const { return mFailure.load(); }
    const std::string& endpoint() const { return mEndpoint; }
    // The process listening at the other end, as the kernel reported it at connect.
    const PeerIdentity& listener() const { return mListener; }

private:
    Connection(UniqueFd fd, std::string endpoint, PeerIdentity listener, ObjectTable& objects);
    status_t failLocked(status_t status);
    status_t transactLocked(uint32_t handle, uint32_t code, const Parcel& data, Parcel* out, uint32_t flags,
                            bool* sent);
    // The two halves of a transaction: the request out in full, then its reply into
    // `out`. Each returns OK or what failed (failing the connection where it must).
    status_t sendRequestLocked(uint32_t handle, uint32_t code, const Parcel& data, uint32_t flags);
    status_t receiveReplyLocked(Parcel* out);

    // Lock order: a transaction holds mLock while it encodes and decodes, which takes
    // the object table's lock (the ExportTable's); so nothing may take mLock while holding that one.
    // isDead() therefore reads an atomic rather than locking.
    std::mutex mLock;
    const UniqueFd mFd;
    const std::string mEndpoint;
    const PeerIdentity mListener;
    ObjectTable& mObjects;
    std::atomic<status_t> mFailure{OK};
    ParcelAccess::Buffer mReceive; // the last frame received, header and body
    std::vector<uint8_t> mObjectTable; // scratch for outgoing object records
};

// How proxies reach their hosts: each call gets a connection of its own for its
// duration (an idle one kept from an earlier call, or a new one), so that no call
// waits for another.
class ConnectionPool {
public:
    // `key` is poolKey(target), which a proxy works out once.
    virtual status_t transactWith(const ObjectRef& target, const std::string& key, uint32_t code, const Parcel& data,
                                  Parcel* reply, uint32_t flags) = 0;

protected:
    ~ConnectionPool() = default;
};

// What poll() reports on a kept connection whose peer hung up or sent something unasked:
// either makes it unfit for another request (a reply to it could not be told from
// what came before).
inline constexpr short KEPT_CONNECTION_EVENTS = POLLIN | POLLRDHUP;
// True when a kept connection's descriptor shows neither (a poll that does not wait).
bool stillQuiet(int fd);

// What tells one host from another among kept connections: endpoint and identity.
std::string poolKey(const ObjectRef& target);

} // namespace quorvel
