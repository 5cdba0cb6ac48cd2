#include "MainLoopTimers.h"

#include <glib.h>

#include <algorithm>

// What one GLib source carries; GLib frees it when the source goes.
struct MainLoopTimers::Pending {
    MainLoopTimers* owner;
    Id id;
    std::function<void()> call;
};

MainLoopTimers::~MainLoopTimers()
{
    // Copied: removing a source frees its Pending, which touches nothing here.
    for (const Id id : std::set<Id>(waiting)) {
        Cancel(id);
    }
}

int MainLoopTimers::Fire(void* data)
{
    auto* pending = static_cast<Pending*>(data);
    // Out of the set before the call, which may cancel it or add others.
    pending->owner->waiting.erase(pending->id);
    pending->call();
    return G_SOURCE_REMOVE;
}

MainLoopTimers::Id MainLoopTimers::After(std::chrono::milliseconds delay, std::function<void()> call)
{
    auto* pending = new Pending{this, 0, std::move(call)};
    const guint source = g_timeout_add_full(
        G_PRIORITY_DEFAULT, static_cast<guint>(std::max<int64_t>(0, delay.count())), Fire, pending,
        [](gpointer data) { delete static_cast<Pending*>(data); });
    pending->id = source;
    waiting.insert(source);
    return source;
}

void MainLoopTimers::Cancel(Id id)
{
    if (waiting.erase(id) > 0) {
        g_source_remove(static_cast<guint>(id));
    }
}
