#pragma once
// ProcessObjects: this process's objects as the code below the host reaches them: the
// ObjectTable that the service manager's connection describes and resolves references
// with, and who keeps watch over the connection that services were registered over.
// A program that can host installs its host here before main() (the hosting library
// does); one that only calls gets a table of its own, which turns the references it
// receives into proxies and has no object of its own to send.

#include <quorvel/strong_pointer.h>

#include "connection.h"
#include "frame_codec.h"

namespace quorvel {

class ProcessObjects {
public:
    virtual ObjectTable& objects() = 0;
    // Services have just been registered over `connection`: serving ends when it closes.
    virtual void watchRegistrations(const sp<Connection>& connection) = 0;

protected:
    ~ProcessObjects() = default;
};

// The installed host, or else the calling-only table (made on first use).
ProcessObjects& processObjects();

// Makes `host`, which lives as long as the process, the one processObjects() returns.
// Meant for start-up, before any call goes out.
void installProcessObjects(ProcessObjects& host);

} // namespace quorvel
