#pragma once

#include <functional>
#include <memory>

enum class PowerEvent {
    WillSleep,     // the machine is about to sleep; sleep is never delayed
    HasPoweredOn,  // the machine has resumed from sleep
};

// A registration for the system's sleep and wake notifications; destroying it
// unregisters. The program never objects to or delays sleep.
//
// Threading: register and destroy on the same thread, the one that runs the
// GLib main context that was its thread-default context at registration (the
// GUI thread under wxGTK). The callback runs there, from that main loop, and
// never after the registration has been destroyed.
class SystemPowerNotifications {
public:
    using Callback = std::function<void(PowerEvent)>;

    // Null when the system bus cannot be reached; nothing is reported, and
    // the caller may try again later.
    static std::unique_ptr<SystemPowerNotifications> Register(Callback onEvent);

    ~SystemPowerNotifications();

    SystemPowerNotifications(const SystemPowerNotifications&) = delete;
    SystemPowerNotifications& operator=(const SystemPowerNotifications&) = delete;

private:
    class Subscription;

    explicit SystemPowerNotifications(std::unique_ptr<Subscription> subscription);

    std::unique_ptr<Subscription> subscription;
};
