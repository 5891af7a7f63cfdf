// Serves a LedTree through FUSE at a mount point, from a thread of its own.
#pragma once

#include "led_tree.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

struct fuse;

namespace ledsim {

class FuseMount {
public:
    FuseMount() = default;
    FuseMount(const FuseMount&) = delete;
    FuseMount& operator=(const FuseMount&) = delete;
    ~FuseMount();

    // Mounts the tree and starts serving it. Returns 0 or a negated errno value with
    // a message in `error`.
    int start(LedTree& tree, const std::string& mountPoint, std::string& error);

    // Unmounts and waits up to `waitMs` for the serving thread to finish. False if it
    // did not (something still holds a file of the tree open); the thread is then
    // left behind and the process must exit without destroying this object's state.
    bool stop(int waitMs);

private:
    void serve();

    struct fuse* mFuse = nullptr;
    std::string mMountPoint;
    std::thread mThread;
    std::mutex mMutex;
    std::condition_variable mFinishedChanged;
    bool mFinished = false;
    bool mAbandoned = false;
};

} // namespace ledsim
