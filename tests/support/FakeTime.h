#pragma once

// Time that passes only when a test says so, the calls scheduled on it, and
// the sleep locks taken meanwhile: for the tests of the monitor and the
// application cores, whose thread plays the controller thread.

#include "MonitorCore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <map>

struct FakeTime {
    using Ms = std::chrono::milliseconds;

    Ms now{0};
    std::map<Scheduler::Handle, std::pair<Ms, std::function<void()>>> timers;
    Scheduler::Handle lastTimer = 0;
    int takes = 0, liveLocks = 0;  // sleep locks

    virtual ~FakeTime() = default;
    // Runs what the calls run posted; called after each of them.
    virtual void Drain() = 0;

    // Runs every call that falls due in the next `by`, in time order.
    void Advance(Ms by)
    {
        const Ms until = now + by;
        for (;;) {
            const auto due = std::min_element(timers.begin(), timers.end(),
                                              [](const auto& a, const auto& b) { return a.second.first < b.second.first; });
            if (due == timers.end() || due->second.first > until)
                break;
            now = due->second.first;
            auto call = std::move(due->second.second);
            timers.erase(due);
            call();
            Drain();
        }
        now = until;
    }
};

struct FakeScheduler : Scheduler {
    explicit FakeScheduler(FakeTime& time) : time(time) {}
    Handle After(std::chrono::milliseconds delay, std::function<void()> call) override
    {
        time.timers[++time.lastTimer] = {time.now + delay, std::move(call)};
        return time.lastTimer;
    }
    void Cancel(Handle handle) override { time.timers.erase(handle); }
    FakeTime& time;
};

// The idle-sleep lock: a second one while one lives fails the test.
struct FakeLock : Holding {
    explicit FakeLock(FakeTime& time) : time(time)
    {
        EXPECT_EQ(time.liveLocks, 0) << "a second sleep lock at " << time.now.count() << " ms";
        ++time.takes;
        ++time.liveLocks;
    }
    ~FakeLock() override { --time.liveLocks; }
    FakeTime& time;
};
