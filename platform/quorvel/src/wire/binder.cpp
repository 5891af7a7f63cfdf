#include <quorvel/binder.h>

namespace quorvel {

status_t LocalBinder::transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags)
{
    // Same contract as a call that crosses processes: the object reads its data from
    // the start, and a failed call leaves only its status in the reply.
    Parcel scratch;
    Parcel* out = reply ? reply : &scratch;
    out->freeData();
    data.setDataPosition(0);
    const status_t status = onTransact(code, data, out, flags);
    if (status != OK)
        out->setError(status);
    else
        out->setDataPosition(0);
    return status;
}

} // namespace quorvel
