#pragma once
// FrameDispatcher: what a server hands each received frame to. It decodes the frame
// against its own object table, calls the exported object the frame names as coming
// from the peer that sent it, and hears when a peer's connection closes.

#include <quorvel/hosting_types.h>
#include <quorvel/parcel.h>
#include <quorvel/status.h>

#include "calling_peer.h"
#include "export_table.h"
#include "parcel_access.h"
#include "frame_codec.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

namespace quorvel {

class FrameDispatcher {
public:
    FrameDispatcher(ExportTable& objects, CallingPeers& peers)
        : mObjects(objects)
        , mPeers(peers)
    {
    }
    FrameDispatcher(const FrameDispatcher&) = delete;
    FrameDispatcher& operator=(const FrameDispatcher&) = delete;

    // The table frames are decoded against; replies are encoded with it too.
    ExportTable& objects() { return mObjects; }

    // One frame from receiveFrame, whose storage `data` takes over instead of
    // copying it: dispatched as coming from `peer`, the answer left in `reply` and
    // its status in `status`. False when the frame is not a well-formed transaction;
    // the peer's connection is then dropped. `data` is scratch space, empty again on
    // return.
    bool dispatch(const FrameHeader& header, ParcelAccess::Buffer* frame, size_t bodyLength, const CallingPeer& peer,
                  Parcel* data, Parcel* reply, status_t* status);

    // Called after a peer's connection has closed.
    void setConnectionClosedHandler(std::function<void(uint64_t)> handler);
    void connectionClosed(uint64_t connectionId);

private:
    ExportTable& mObjects;
    CallingPeers& mPeers;
    std::mutex mLock; // guards mClosedHandler
    std::function<void(uint64_t)> mClosedHandler;
};

} // namespace quorvel
