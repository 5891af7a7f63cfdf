#include "calling_peer.h"

#include "binder_proxy.h"

namespace quorvel {

namespace {

thread_local const CurrentCall* tCurrentCall = nullptr;

} // namespace

CurrentCall::CurrentCall(const CallingPeer& peer, CallingPeers& peers)
    : mPeer(peer)
    , mPeers(peers)
{
    tCurrentCall = this;
}

CurrentCall::~CurrentCall()
{
    tCurrentCall = nullptr;
}

const CurrentCall* CurrentCall::get()
{
    return tCurrentCall;
}

status_t CallingPeers::referenceHostedBy(const sp<IBinder>& object, const CallingPeer& peer, sp<IBinder>* bound)
{
    auto* proxy = object ? dynamic_cast<BinderProxy*>(object.get()) : nullptr;
    if (!proxy)
        return PERMISSION_DENIED;
    // Whatever pid the reference claims (a host in a pid namespace of its own knows
    // itself by another number), the kernel says who listens there: the caller or not.
    ObjectRef target = proxy->target();
    target.host = PeerIdentity{peer.pid, peer.uid};
    bool known;
    {
        std::lock_guard<std::mutex> lock(mLock);
        const auto it = mListensAt.find(peer.connectionId);
        known = it != mListensAt.end() && it->second == target.endpoint;
    }
    if (!known) {
        status_t status;
        if (!Connection::connectTo(target.endpoint, mObjects, &target.host, &status))
            return status == DEAD_OBJECT ? PERMISSION_DENIED : status;
        std::lock_guard<std::mutex> lock(mLock);
        mListensAt[peer.connectionId] = target.endpoint;
    }
    *bound = sp<IBinder>(new BinderProxy(std::move(target), mPool));
    return OK;
}

void CallingPeers::forget(uint64_t connectionId)
{
    std::lock_guard<std::mutex> lock(mLock);
    mListensAt.erase(connectionId);
}

} // namespace quorvel
