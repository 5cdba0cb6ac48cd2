#pragma once

#include <chrono>
#include <memory>

// The delivery thread's time: a clock and a way to wait on it, which tests
// replace to run the delivery on fake time.
class DeliveryClock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~DeliveryClock() = default;
    // Any thread.
    virtual TimePoint Now() = 0;
    // The delivery thread only: returns at `until`, or soon after Wake().
    // A Wake() while nobody waits makes the next wait return at once.
    virtual void WaitUntil(TimePoint until) = 0;
    // Any thread.
    virtual void Wake() = 0;
};

// std::chrono::steady_clock.
std::shared_ptr<DeliveryClock> MakeSteadyDeliveryClock();
