#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>

// One-shot calls after a delay, run by the main loop of the thread that
// creates the object (the GUI thread under wxGTK). Destroying the object
// cancels every call still waiting.
//
// Threading: create, use and destroy on that one thread.
class MainLoopTimers {
public:
    using Id = std::uint64_t;  // 0 names no call

    MainLoopTimers() = default;
    ~MainLoopTimers();

    MainLoopTimers(const MainLoopTimers&) = delete;
    MainLoopTimers& operator=(const MainLoopTimers&) = delete;

    Id After(std::chrono::milliseconds delay, std::function<void()> call);
    // The call never runs once this returns; finished or unknown ids are ignored.
    void Cancel(Id id);

private:
    struct Pending;
    static int Fire(void* pending);

    // Ids of the calls still waiting; a call leaves before it runs.
    std::set<Id> waiting;
};
