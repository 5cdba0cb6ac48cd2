#pragma once

#include <functional>
#include <memory>
#include <mutex>

class wxEvtHandler;

// The one queue of calls onto the GUI thread, through the application
// object's queued calls (wxEvtHandler::CallAfter): every call runs in the
// order it was posted, whichever thread posted it. Threads that may outlive
// the GUI keep a shared_ptr to the queue, never a bare pointer to a window;
// the application detaches it at exit, after which posts are dropped. Calls
// that touch a window check that the window still exists.
class UiQueue {
public:
    explicit UiQueue(wxEvtHandler* target);

    UiQueue(const UiQueue&) = delete;
    UiQueue& operator=(const UiQueue&) = delete;

    // Any thread. Queues `call` while the queue is attached; returns false
    // and drops it otherwise.
    bool Post(std::function<void()> call);

    // GUI thread, at exit: every later Post is dropped.
    void Detach();

private:
    std::mutex mutex;
    wxEvtHandler* target;  // guarded by mutex; null once detached
};

using UiQueuePtr = std::shared_ptr<UiQueue>;
