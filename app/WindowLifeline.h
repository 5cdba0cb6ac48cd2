#pragma once

#include <functional>
#include <memory>
#include <mutex>

class wxEvtHandler;

// Lets threads that may outlive a window queue calls onto it. Background
// threads keep a shared_ptr to the lifeline, never a bare window pointer; the
// window detaches it in its destructor, after which posts are dropped. A call
// already queued belongs to the window's own event queue and is discarded
// with the window, so a queued closure may use the window freely.
class WindowLifeline {
public:
    explicit WindowLifeline(wxEvtHandler* target);

    WindowLifeline(const WindowLifeline&) = delete;
    WindowLifeline& operator=(const WindowLifeline&) = delete;

    // Any thread. Queues `call` on the GUI thread (wxEvtHandler::CallAfter)
    // while the window exists; returns false and drops it otherwise.
    bool Post(std::function<void()> call);

    // GUI thread, from the window's destructor: every later Post is dropped.
    void Detach();

private:
    std::mutex mutex;
    wxEvtHandler* target;  // guarded by mutex; null once detached
};

using WindowLifelinePtr = std::shared_ptr<WindowLifeline>;
