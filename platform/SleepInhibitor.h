#pragma once

#include <memory>
#include <string>

// One assertion that keeps the machine from idle sleep while it lives; the
// display may still blank. Destroying the object releases everything it took.
//
// Threading: take, hold and destroy on the GUI thread. Each D-Bus call is
// bounded by a short time-out, so taking or releasing never blocks for long.
class IdleSleepAssertion {
public:
    // Takes the assertion in the name of `who`, giving `why` as the reason
    // shown to the system. Null when nothing could be taken (no bus, no
    // power manager); nothing is reported.
    static std::unique_ptr<IdleSleepAssertion> Take(const std::string& who,
                                                    const std::string& why);

    ~IdleSleepAssertion();

    IdleSleepAssertion(const IdleSleepAssertion&) = delete;
    IdleSleepAssertion& operator=(const IdleSleepAssertion&) = delete;

private:
    class DesktopInhibitor;

    IdleSleepAssertion(int systemLockFd, std::unique_ptr<DesktopInhibitor> desktopInhibitor);

    // The system's lock: a file descriptor, released by closing it. -1 = none.
    int systemLockFd;
    // The desktop session's own suspend inhibitor, held for exactly as long.
    std::unique_ptr<DesktopInhibitor> desktopInhibitor;
};
