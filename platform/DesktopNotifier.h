#pragma once

#include <functional>
#include <memory>
#include <string>

// Shows notifications through the desktop's notification server and reports a
// click on one of them. Without a server (no session bus, nobody owning the
// name, a failing call) it prints one line on standard output for its whole
// life and otherwise does nothing; it never throws.
//
// Threading: create, call and destroy on one thread, the one that runs the
// GLib main context that was its thread-default context at construction (the
// GUI thread under wxGTK). Nothing waits for the bus: connecting and every call
// are asynchronous and finish from that main loop. onActivated runs there too,
// and never after destruction.
class DesktopNotifier {
public:
    using ActivatedCallback = std::function<void()>;

    // appIcon: an absolute file path (such as AppIconPath()) or an icon theme
    // name. onActivated: the user clicked one of this notifier's notifications.
    DesktopNotifier(const std::string& appIcon, ActivatedCallback onActivated);
    ~DesktopNotifier();

    DesktopNotifier(const DesktopNotifier&) = delete;
    DesktopNotifier& operator=(const DesktopNotifier&) = delete;

    // Shows a notification; summary and body are plain text. A non-empty
    // replaceKey that an earlier call used replaces that notification on screen
    // ("Stream stopped" becomes "Stream is back"); an empty one always adds.
    // Notifications are sent one at a time in call order; while the server is
    // slow, at most a few wait and the oldest waiting one is dropped first.
    void Notify(const std::string& summary, const std::string& body,
                const std::string& replaceKey = {});

private:
    class Session;

    std::unique_ptr<Session> session;
};
