// The values stored in the tree over a run, with the time of each write. Written
// from the file system's threads, read by the live view and the picture.
// Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace ledsim {

struct ValueChange {
    double ms = 0; // since the timeline started
    std::string path;
    std::string value;
};

class ValueTimeline {
public:
    // Time starts now.
    ValueTimeline();

    void record(const std::string& path, const std::string& value);
    double elapsedMs() const;
    std::vector<ValueChange> changes() const;

    // Waits until there are more than `seen` changes, stop() was called or the
    // timeout passed. Returns the number of changes.
    size_t waitForMore(size_t seen, std::chrono::milliseconds timeout);
    // Wakes every waiter for good.
    void stop();
    bool stopped() const;

private:
    const std::chrono::steady_clock::time_point mStart;
    mutable std::mutex mMutex;
    std::condition_variable mChanged;
    std::vector<ValueChange> mChanges;
    bool mStopped = false;
};

} // namespace ledsim
