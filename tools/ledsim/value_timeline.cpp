#include "value_timeline.h"

namespace ledsim {

ValueTimeline::ValueTimeline()
    : mStart(std::chrono::steady_clock::now())
{
}

void ValueTimeline::record(const std::string& path, const std::string& value)
{
    std::lock_guard lock(mMutex);
    // Taken under the lock, so that the changes stay in time order.
    const double ms = elapsedMs();
    mChanges.push_back(ValueChange{ms, path, value});
    mChanged.notify_all();
}

double ValueTimeline::elapsedMs() const
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - mStart).count();
}

std::vector<ValueChange> ValueTimeline::changes() const
{
    std::lock_guard lock(mMutex);
    return mChanges;
}

size_t ValueTimeline::waitForMore(size_t seen, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mMutex);
    mChanged.wait_for(lock, timeout, [&] { return mStopped || mChanges.size() > seen; });
    return mChanges.size();
}

void ValueTimeline::stop()
{
    std::lock_guard lock(mMutex);
    mStopped = true;
    mChanged.notify_all();
}

bool ValueTimeline::stopped() const
{
    std::lock_guard lock(mMutex);
    return mStopped;
}

} // namespace ledsim
