#include "value_timeline.h"

namespace ledsim {

ValueTimeline::ValueTimeline()
    : start_(std::chrono::steady_clock::now())
{
}

void ValueTimeline::record(const std::string& path, const std::string& value)
{
    std::lock_guard lock(mutex_);
    // Taken under the lock, so that the changes stay in time order.
    const double ms = elapsedMs();
    changes_.push_back(ValueChange{ms, path, value});
    changed_.notify_all();
}

double ValueTimeline::elapsedMs() const
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
}

std::vector<ValueChange> ValueTimeline::changes() const
{
    std::lock_guard lock(mutex_);
    return changes_;
}

size_t ValueTimeline::waitForMore(size_t seen, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return stopped_ || changes_.size() > seen; });
    return changes_.size();
}

void ValueTimeline::stop()
{
    std::lock_guard lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
}

bool ValueTimeline::stopped() const
{
    std::lock_guard lock(mutex_);
    return stopped_;
}

} // namespace ledsim
