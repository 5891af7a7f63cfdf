#include "frame_dispatcher.h"

namespace quorvel {

bool FrameDispatcher::dispatch(const FrameHeader& header, ParcelAccess::Buffer* frame, size_t bodyLength,
                               const CallingPeer& peer, Parcel* data, Parcel* reply, status_t* status)
{
    reply->freeData();
    const status_t decoded = decodeReceived(header, frame, bodyLength, data, true, mObjects);
    if (decoded != OK || header.kind != FRAME_TRANSACTION) {
        data->freeData();
        return false;
    }
    const sp<IBinder> target = mObjects.exportedObject(header.handle);
    if (!target) {
        *status = NAME_NOT_FOUND;
    } else {
        const CurrentCall call(peer, mPeers);
        *status = target->transact(header.code, *data, reply, header.flags);
    }
    data->freeData();
    return true;
}

void FrameDispatcher::setConnectionClosedHandler(std::function<void(uint64_t)> handler)
{
    std::lock_guard<std::mutex> lock(mLock);
    mClosedHandler = std::move(handler);
}

void FrameDispatcher::connectionClosed(uint64_t connectionId)
{
    std::function<void(uint64_t)> handler;
    {
        std::lock_guard<std::mutex> lock(mLock);
        handler = mClosedHandler;
    }
    mPeers.forget(connectionId);
    if (handler)
        handler(connectionId);
}

} // namespace quorvel
