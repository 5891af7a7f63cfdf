// Fuzzes the service manager's request handling with raw frames, as a peer sends
// them: each input is one frame, decoded and dispatched exactly as the serving loop
// does, with the real registry behind handle 0. Whatever the frame, the daemon must
// answer with a reply frame that a client can decode, or drop the peer.
#include <quorvel/binder.h>
#include <quorvel/hosting.h>
#include <quorvel/parcel.h>
#include <quorvel/status.h>

#include "fuzz_support.h"
#include "object_host.h"
#include "parcel_access.h"
#include "service_registry.h"
#include "frame_codec.h"

#include <cstdint>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

using namespace quorvel;

namespace {

using quorvel::fuzz::check;

// The endpoint the seed corpus's references name. This process listens there itself
// and plays the peer every frame comes from, so that the registry, asking the kernel
// who listens at a reference's endpoint, finds the caller.
constexpr char PEER_ENDPOINT[] = "quorvel.4242.0"; // abstract: a zero byte goes first

int peerListener()
{
    static const int fd = [] {
        const int s = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, PEER_ENDPOINT, sizeof PEER_ENDPOINT - 1);
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof PEER_ENDPOINT);
        check(s >= 0 && ::bind(s, reinterpret_cast<sockaddr*>(&address), length) == 0 && ::listen(s, 128) == 0);
        return s;
    }();
    return fd;
}

// The registry's checks connect to the peer's endpoint; nobody else accepts them.
void drainPeerListener()
{
    for (int fd; (fd = ::accept4(peerListener(), nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
        ::close(fd);
}

// The daemon's side, without its sockets: the registry answers handle 0 of a host of
// its own, which decodes every frame and binds every reference the registry keeps.
ObjectHost& host()
{
    static ObjectHost* object = new ObjectHost();
    return *object;
}

ServiceRegistry& registry()
{
    static ServiceRegistry* object = [] {
        auto* registry = new ServiceRegistry();
        host().objects.setContextObject(sp<IBinder>(registry));
        return registry;
    }();
    return *object;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    ServiceRegistry& sm = registry();
    static uint64_t nextConnection = 0;
    // Several frames per input, split at a marker, so that a registration and the
    // look-ups after it can meet within one run.
    static const uint8_t MARKER[4] = {'-', '-', 'Q', '-'};
    peerListener();
    const CallingPeer peer{++nextConnection, ::geteuid(), ::getpid()};

    std::vector<uint8_t> frame;
    // As the serving loop receives: header apart, the body in a buffer of its own
    // with room to spare, which the request parcel adopts; buffer and parcels are
    // kept from frame to frame, so the storage goes back and forth between them.
    // (The loop sizes the buffer for the largest frame; growing it element by
    // element costs the instrumented build more than all the rest, and the decoder
    // reads only the received length either way.)
    static ParcelAccess::Buffer body;
    static Parcel data, reply;
    auto dispatch = [&] {
        if (frame.size() < sizeof(FrameHeader))
            return; // the receiver drops such a peer before decoding
        FrameHeader received;
        std::memcpy(&received, frame.data(), sizeof received);
        const size_t bodyLength = frame.size() - sizeof received;
        body.resize(bodyLength + 64);
        std::memcpy(body.data(), frame.data() + sizeof received, bodyLength);
        status_t status = OK;
        const bool answered = host().dispatcher.dispatch(received, &body, bodyLength, peer, &data, &reply, &status);
        drainPeerListener();
        if (!answered)
            return;
        FrameHeader header;
        std::vector<uint8_t> table;
        iovec iov[3];
        int count = 0;
        encodeReplyFrame(status, &reply, &header, &table, iov, &count, host().objects);
        std::vector<uint8_t> out;
        for (int i = 0; i < count; ++i) {
            const auto* p = static_cast<const uint8_t*>(iov[i].iov_base);
            out.insert(out.end(), p, p + iov[i].iov_len);
        }
        FrameHeader clientHeader;
        Parcel answer;
        check(decodeFrame(out.data(), out.size(), &clientHeader, &answer, host().objects) == OK);
        check(clientHeader.kind == FRAME_REPLY && clientHeader.code == header.code);
    };
    for (size_t i = 0; i < size; ++i) {
        if (i + 4 <= size && std::memcmp(bytes + i, MARKER, 4) == 0) {
            dispatch();
            frame.clear();
            i += 3;
            continue;
        }
        frame.push_back(bytes[i]);
    }
    dispatch();

    // The peer goes away: everything it registered goes with it.
    host().dispatcher.connectionClosed(peer.connectionId);
    sm.connectionClosed(peer.connectionId);
    check(sm.size() == 0);
    return 0;
}
