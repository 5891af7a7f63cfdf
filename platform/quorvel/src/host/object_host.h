#pragma once
// ObjectHost: the parts that answer frames, put together: an endpoint, the objects
// exported at it, the connections to other hosts, who is calling, and the dispatcher
// over them. The process has one (ProcessHost); a fuzz target that dispatches frames
// without sockets makes its own.

#include "calling_peer.h"
#include "export_table.h"
#include "frame_dispatcher.h"
#include "idle_connection_pool.h"
#include "process_endpoint.h"

namespace quorvel {

struct ObjectHost {
    ObjectHost() = default;
    ObjectHost(const ObjectHost&) = delete;
    ObjectHost& operator=(const ObjectHost&) = delete;

    ProcessEndpoint endpoint;
    IdleConnectionPool connections{objects}; // keeps the reference only: objects comes next
    ExportTable objects{endpoint, connections};
    CallingPeers peers{objects, connections};
    FrameDispatcher dispatcher{objects, peers};
};

} // namespace quorvel
