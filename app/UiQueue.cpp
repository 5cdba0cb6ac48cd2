#include "UiQueue.h"

#include <wx/event.h>

UiQueue::UiQueue(wxEvtHandler* target) : target(target) {}

bool UiQueue::Post(std::function<void()> call)
{
    // Holding the lock while queueing keeps Detach from completing (and so the
    // target from going) in the middle of CallAfter.
    std::lock_guard<std::mutex> lock(mutex);
    if (target == nullptr)
        return false;
    target->CallAfter(std::move(call));
    return true;
}

void UiQueue::Detach()
{
    std::lock_guard<std::mutex> lock(mutex);
    target = nullptr;
}
