#pragma once
// The limits of the object system. Both sides enforce them: a writer refuses to grow
// a parcel past them, and the transport rejects frames that exceed them.

#include <cstddef>

namespace quorvel {

// Bytes of data one parcel may hold.
inline constexpr size_t MAX_PARCEL_DATA = 64 * 1024;
// Object references one parcel may carry.
inline constexpr size_t MAX_PARCEL_OBJECTS = 64;
// Length of an endpoint address carried in an object reference (a Unix socket path,
// or '@' and an abstract name).
inline constexpr size_t MAX_ENDPOINT_LENGTH = 107;
// The size of one frame on the wire: header, data and object table together.
// Each object record: offset, handle, host pid, host uid, endpoint length, then the
// endpoint padded to whole words.
inline constexpr size_t MAX_FRAME_SIZE = 28 + MAX_PARCEL_DATA + MAX_PARCEL_OBJECTS * (20 + 108);
// Service manager limits.
inline constexpr size_t MAX_SERVICE_NAME_LENGTH = 255; // UTF-16 units
inline constexpr size_t MAX_SERVICES = 1024;
// Connections one hosting process (the service manager too) keeps open at once.
inline constexpr size_t MAX_CONNECTIONS = 512;
// Connections one uid other than root and the host's own may hold in one host.
inline constexpr size_t MAX_CONNECTIONS_PER_UID = 64;
// Of MAX_CONNECTIONS, this many are only ever given to root and the host's own uid,
// however many other uids connect.
inline constexpr size_t RESERVED_CONNECTIONS = 128;
// Milliseconds a new connection has to send its first complete frame.
inline constexpr int FIRST_FRAME_TIMEOUT_MS = 3000;
// Idle client connections a process keeps for later calls: per host, and in all. Past
// either, the least recently used one is closed, so references to many hosts cannot
// make a client hold a descriptor for each of them.
inline constexpr size_t MAX_IDLE_CONNECTIONS_PER_HOST = 4;
inline constexpr size_t MAX_IDLE_CONNECTIONS = 64;

} // namespace quorvel
