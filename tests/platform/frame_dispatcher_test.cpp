// The frame dispatcher without sockets: a frame reaches the object its handle names,
// as coming from the peer that sent it and from no one once the call is over, and the
// references it carries are decoded against the table of the host that dispatches it.
#include <quorvel/binder.h>
#include <quorvel/hosting.h>
#include <quorvel/parcel.h>

#include "object_host.h"
#include "parcel_access.h"
#include "frame_codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace quorvel {
namespace {

// Answers with the code it was called with, and remembers who called and the object
// the data carried.
class Recorder : public LocalBinder {
public:
    static constexpr uint32_t FAILING_CODE = 99;

    bool sawPeer = false;
    CallingPeer peer{};
    sp<IBinder> received;

protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t) override
    {
        const CallingPeer* caller = callingPeer();
        sawPeer = caller != nullptr;
        if (caller)
            peer = *caller;
        received = data.readStrongBinder();
        reply->writeInt32(static_cast<int32_t>(code));
        return code == FAILING_CODE ? UNKNOWN_TRANSACTION : OK;
    }
};

// A frame of `kind` for `handle`, carrying `data` with its references described by
// `objects`.
std::vector<uint8_t> frameFor(uint32_t kind, uint32_t handle, uint32_t code, const Parcel& data, ObjectTable& objects)
{
    FrameHeader header{};
    header.kind = kind;
    header.handle = handle;
    header.code = code;
    std::vector<uint8_t> table;
    iovec iov[3];
    int count = 0;
    EXPECT_EQ(encodeFrame(&header, &data, &table, iov, &count, objects), OK);
    std::vector<uint8_t> frame;
    for (int i = 0; i < count; ++i) {
        const auto* p = static_cast<const uint8_t*>(iov[i].iov_base);
        frame.insert(frame.end(), p, p + iov[i].iov_len);
    }
    return frame;
}

// As the server hands a received frame over: the whole frame in a buffer, and a copy
// of its header apart.
bool dispatch(ObjectHost& host, const std::vector<uint8_t>& frame, const CallingPeer& peer, Parcel* reply,
              status_t* status)
{
    FrameHeader header;
    std::memcpy(&header, frame.data(), sizeof header);
    ParcelAccess::Buffer received(frame.begin(), frame.end());
    Parcel data;
    const bool answered =
        host.dispatcher.dispatch(header, &received, frame.size() - sizeof header, peer, &data, reply, status);
    EXPECT_EQ(data.dataSize(), 0u) << "the scratch parcel is left empty";
    return answered;
}

TEST(FrameDispatcher, FrameReachesTheObjectItNamesAsComingFromItsPeerAndOnlyForTheCall)
{
    ObjectHost host;
    const sp<Recorder> object(new Recorder());
    host.objects.setContextObject(object);
    const CallingPeer peer{7, 1234, 4321};
    Parcel data, reply;
    data.writeInt32(1);
    status_t status = OK;

    ASSERT_TRUE(dispatch(host, frameFor(FRAME_TRANSACTION, 0, 5, data, host.objects), peer, &reply, &status));
    EXPECT_EQ(status, OK);
    EXPECT_EQ(reply.readInt32(), 5);
    ASSERT_TRUE(object->sawPeer);
    EXPECT_EQ(object->peer.connectionId, 7u);
    EXPECT_EQ(object->peer.uid, 1234u);
    EXPECT_EQ(object->peer.pid, 4321);
    EXPECT_EQ(callingPeer(), nullptr) << "the call is over";

    // The object's failure is its answer's status; a handle nobody exported is not found.
    ASSERT_TRUE(dispatch(host, frameFor(FRAME_TRANSACTION, 0, Recorder::FAILING_CODE, data, host.objects), peer, &reply,
                         &status));
    EXPECT_EQ(status, UNKNOWN_TRANSACTION);
    ASSERT_TRUE(dispatch(host, frameFor(FRAME_TRANSACTION, 3, 5, data, host.objects), peer, &reply, &status));
    EXPECT_EQ(status, NAME_NOT_FOUND);

    // A reply sent as a request is no transaction: the peer is dropped, nobody called.
    object->sawPeer = false;
    EXPECT_FALSE(dispatch(host, frameFor(FRAME_REPLY, 0, 5, data, host.objects), peer, &reply, &status));
    EXPECT_FALSE(object->sawPeer);
}

TEST(FrameDispatcher, ReferencesAreDecodedAgainstTheDispatchingHostsOwnTable)
{
    // One object exported by host A (which then listens), sent in a frame to A and to B.
    ObjectHost a, b;
    const sp<Recorder> atA(new Recorder()), atB(new Recorder());
    a.objects.setContextObject(atA);
    b.objects.setContextObject(atB);
    const sp<IBinder> exported(new Recorder());
    Parcel data, reply;
    ASSERT_EQ(data.writeStrongBinder(exported), OK);
    const std::vector<uint8_t> frame = frameFor(FRAME_TRANSACTION, 0, 1, data, a.objects);
    const CallingPeer peer{1, 0, 1};
    status_t status = OK;

    // A finds its own object; to B it is another host's, reached through a proxy.
    ASSERT_TRUE(dispatch(a, frame, peer, &reply, &status));
    EXPECT_EQ(atA->received, exported);
    ASSERT_TRUE(dispatch(b, frame, peer, &reply, &status));
    ASSERT_NE(atB->received, nullptr);
    EXPECT_FALSE(atB->received->isLocal());
}

} // namespace
} // namespace quorvel
