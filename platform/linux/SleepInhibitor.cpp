#include "SleepInhibitor.h"

#include "BusConnection.h"

#include <gio/gunixfdlist.h>
#include <unistd.h>

namespace {

constexpr gint kCallTimeoutMs = 1500;

// GNOME's session manager: flag 4 inhibits suspend. Not 8 (idle), which would
// also keep the screen from blanking.
constexpr guint32 kGnomeInhibitSuspend = 4;

bool IsValidUtf8(const std::string& text) {
    return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr) &&
           text.find('\0') == std::string::npos;
}

// logind's "idle" lock in "block" mode. The returned descriptor is the lock;
// the connection is not needed to keep it. GDBus marks received descriptors
// close-on-exec, so a program we launch (the browser) never keeps the lock
// alive. -1 when logind cannot be asked.
int TakeLogindIdleLock(const std::string& who, const std::string& why) {
    GObjectPtr<GDBusConnection> connection = OpenPrivateBusConnection(G_BUS_TYPE_SYSTEM);
    if (!connection) {
        return -1;
    }
    GUnixFDList* rawFds = nullptr;
    GError* rawError = nullptr;
    GVariantPtr reply(g_dbus_connection_call_with_unix_fd_list_sync(
        connection.get(), "org.freedesktop.login1", "/org/freedesktop/login1",
        "org.freedesktop.login1.Manager", "Inhibit",
        g_variant_new("(ssss)", "idle", who.c_str(), why.c_str(), "block"),
        G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &rawFds,
        nullptr, &rawError));
    GObjectPtr<GUnixFDList> fds(rawFds);
    GErrorPtr error(rawError);
    ClosePrivateBusConnection(std::move(connection));
    if (!reply || !fds) {
        return -1;
    }
    gint32 index = -1;
    g_variant_get(reply.get(), "(h)", &index);
    gint length = 0;
    GFreePtr<gint> received(g_unix_fd_list_steal_fds(fds.get(), &length));
    int lockFd = -1;
    for (gint i = 0; i < length; ++i) {
        if (i == index) {
            lockFd = received.get()[i];
        } else {
            close(received.get()[i]);
        }
    }
    return lockFd;
}

}  // namespace

// The session manager ties the inhibitor to our connection, so the connection
// stays open for as long as the inhibitor is held. Only a session manager that
// is already running is asked; none is started for this.
class IdleSleepAssertion::DesktopInhibitor {
public:
    static std::unique_ptr<DesktopInhibitor> Take(const std::string& who,
                                                  const std::string& why) {
        GObjectPtr<GDBusConnection> connection = OpenPrivateBusConnection(G_BUS_TYPE_SESSION);
        if (!connection) {
            return nullptr;
        }
        GError* rawError = nullptr;
        GVariantPtr reply(g_dbus_connection_call_sync(
            connection.get(), "org.gnome.SessionManager", "/org/gnome/SessionManager",
            "org.gnome.SessionManager", "Inhibit",
            g_variant_new("(susu)", who.c_str(), 0u, why.c_str(), kGnomeInhibitSuspend),
            G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr,
            &rawError));
        GErrorPtr error(rawError);
        if (!reply) {
            ClosePrivateBusConnection(std::move(connection));
            return nullptr;
        }
        guint32 cookie = 0;
        g_variant_get(reply.get(), "(u)", &cookie);
        return std::unique_ptr<DesktopInhibitor>(new DesktopInhibitor(std::move(connection), cookie));
    }

    // Closing the connection would also end the inhibitor, but the explicit
    // Uninhibit does not depend on the session manager watching for it.
    ~DesktopInhibitor() {
        GVariantPtr reply(g_dbus_connection_call_sync(
            connection.get(), "org.gnome.SessionManager", "/org/gnome/SessionManager",
            "org.gnome.SessionManager", "Uninhibit", g_variant_new("(u)", cookie), nullptr,
            G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, nullptr));
        ClosePrivateBusConnection(std::move(connection));
    }

    DesktopInhibitor(const DesktopInhibitor&) = delete;
    DesktopInhibitor& operator=(const DesktopInhibitor&) = delete;

private:
    DesktopInhibitor(GObjectPtr<GDBusConnection> connection, guint32 cookie)
        : connection(std::move(connection)), cookie(cookie) {}

    GObjectPtr<GDBusConnection> connection;
    guint32 cookie;
};

std::unique_ptr<IdleSleepAssertion> IdleSleepAssertion::Take(const std::string& who,
                                                             const std::string& why) {
    if (!IsValidUtf8(who) || !IsValidUtf8(why)) {
        return nullptr;
    }
    const int systemLockFd = TakeLogindIdleLock(who, why);
    std::unique_ptr<DesktopInhibitor> desktopInhibitor = DesktopInhibitor::Take(who, why);
    if (systemLockFd < 0 && !desktopInhibitor) {
        return nullptr;
    }
    return std::unique_ptr<IdleSleepAssertion>(
        new IdleSleepAssertion(systemLockFd, std::move(desktopInhibitor)));
}

IdleSleepAssertion::IdleSleepAssertion(int systemLockFd,
                                       std::unique_ptr<DesktopInhibitor> desktopInhibitor)
    : systemLockFd(systemLockFd), desktopInhibitor(std::move(desktopInhibitor)) {}

// Released in the reverse order of taking: the desktop's inhibitor, then the
// system's lock.
IdleSleepAssertion::~IdleSleepAssertion() {
    desktopInhibitor.reset();
    if (systemLockFd >= 0) {
        close(systemLockFd);
    }
}
