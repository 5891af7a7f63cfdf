#pragma once
// IBinder: an object that answers transactions, in this process or in another one.
// LocalBinder is the base of objects this process hosts; references to objects in
// other processes are made by the transport and look the same to callers.

#include <quorvel/parcel.h>
#include <quorvel/ref_base.h>
#include <quorvel/status.h>
#include <quorvel/string16.h>

#include <cstdint>
#include <string>

namespace quorvel {

// 0x5F4E5446: '_', 'N', 'T', 'F'. Every object answers it with its interface descriptor.
inline constexpr uint32_t INTERFACE_TRANSACTION = 0x5F4E5446;

class IBinder : public RefBase {
public:
    // Sends one transaction and waits for the answer. On OK `reply` holds the answer;
    // on a failure `reply` carries the failed status (Parcel::errorCheck).
    virtual status_t transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags = 0) = 0;

    // True for an object hosted by this process.
    virtual bool isLocal() const { return false; }

    // Names the process that hosts the object: its endpoint and the identity that
    // must be listening there. References with the same non-empty key reach the same
    // host, so a caller can tell that two objects share one. Empty when unknown.
    virtual std::string hostKey() const { return {}; }
};

// Base class of the objects a process hosts and registers with the service manager.
// onTransact runs on the hosting process's serving thread, one transaction at a time.
class LocalBinder : public IBinder {
public:
    status_t transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags = 0) final;
    bool isLocal() const final { return true; }

protected:
    virtual status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) = 0;
};

} // namespace quorvel
