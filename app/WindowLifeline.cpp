#include "WindowLifeline.h"

#include <wx/event.h>

WindowLifeline::WindowLifeline(wxEvtHandler* target) : target(target) {}

bool WindowLifeline::Post(std::function<void()> call)
{
    // Holding the lock while queueing keeps Detach from completing (and so the
    // window from being destroyed) in the middle of CallAfter.
    std::lock_guard<std::mutex> lock(mutex);
    if (target == nullptr) {
        return false;
    }
    target->CallAfter(std::move(call));
    return true;
}

void WindowLifeline::Detach()
{
    std::lock_guard<std::mutex> lock(mutex);
    target = nullptr;
}
