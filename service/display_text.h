#pragma once
// How `service` asks an object for its interface descriptor, and the 8-bit text it
// prints for service names and descriptors.

#include <quorvel/binder.h>
#include <quorvel/parcel.h>
#include <quorvel/status.h>
#include <quorvel/string16.h>
#include <quorvel/string8.h>
#include <quorvel/strong_pointer.h>

#include <cstdint>

namespace servicetool {

// The transaction every object answers with its interface descriptor: the
// characters '_', 'N', 'T', 'F', the first one in the most significant byte.
constexpr uint32_t INTERFACE_QUERY_CODE = 0x5F4E5446;

// The binder's interface descriptor, or an empty string when there is no binder or
// it does not answer the query with exactly OK. Holds no reference afterwards.
// `status`, when given, receives the query's status (OK for a null binder);
// `reply`, when given, keeps the query's reply, so that a failure can be shown.
quorvel::String16 interfaceDescriptorOf(const quorvel::sp<quorvel::IBinder>& binder,
                                        quorvel::status_t* status = nullptr, quorvel::Parcel* reply = nullptr);

// The printable form of a name or descriptor: printable ASCII (32 to 126) as it is, a
// unit 0 dropped, and '?' for every other unit: control characters (1 to 31, 127)
// included, so that text from a peer can never steer a terminal or split a line.
quorvel::String8 toAsciiString8(const quorvel::String16& text);

} // namespace servicetool
