#include "PowerNotifications.h"

#include "BusConnection.h"

namespace {

constexpr gint kCallTimeoutMs = 1500;

// logind announces sleep with PrepareForSleep(true) and the resume with
// PrepareForSleep(false). Without a "delay" inhibitor of ours, logind never
// waits for us before sleeping.
void OnPrepareForSleep(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                       GVariant* parameters, gpointer userData) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) {
        return;
    }
    gboolean goingToSleep = FALSE;
    g_variant_get(parameters, "(b)", &goingToSleep);
    const auto& onEvent = *static_cast<SystemPowerNotifications::Callback*>(userData);
    if (onEvent) {
        onEvent(goingToSleep ? PowerEvent::WillSleep : PowerEvent::HasPoweredOn);
    }
}

void DeleteCallback(gpointer userData) {
    delete static_cast<SystemPowerNotifications::Callback*>(userData);
}

}  // namespace

class SystemPowerNotifications::Subscription {
public:
    // The callback copy belongs to GDBus from here on: it frees it once the
    // subscription is gone and no dispatch of it can still be pending.
    Subscription(GObjectPtr<GDBusConnection> connection, Callback onEvent)
        : connection(std::move(connection)) {
        subscriptionId = g_dbus_connection_signal_subscribe(
            this->connection.get(), "org.freedesktop.login1", "org.freedesktop.login1.Manager",
            "PrepareForSleep", "/org/freedesktop/login1", nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            OnPrepareForSleep, new Callback(std::move(onEvent)), DeleteCallback);
    }

    // GDBus checks that a subscription still exists before dispatching a
    // queued signal to it, so nothing reaches the callback after this.
    ~Subscription() {
        g_dbus_connection_signal_unsubscribe(connection.get(), subscriptionId);
        ClosePrivateBusConnection(std::move(connection));
    }

    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

    // A round trip to the bus, queued behind the match rule that subscribing
    // sent: once it returns, the bus routes every later signal to us.
    bool ConfirmWithBus() {
        GError* rawError = nullptr;
        GVariantPtr reply(g_dbus_connection_call_sync(
            connection.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
            "org.freedesktop.DBus", "GetId", nullptr, G_VARIANT_TYPE("(s)"),
            G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &rawError));
        GErrorPtr error(rawError);
        return reply != nullptr;
    }

private:
    GObjectPtr<GDBusConnection> connection;
    guint subscriptionId = 0;
};

std::unique_ptr<SystemPowerNotifications> SystemPowerNotifications::Register(Callback onEvent) {
    GObjectPtr<GDBusConnection> connection = OpenPrivateBusConnection(G_BUS_TYPE_SYSTEM);
    if (!connection) {
        return nullptr;
    }
    auto subscription = std::make_unique<Subscription>(std::move(connection), std::move(onEvent));
    if (!subscription->ConfirmWithBus()) {
        return nullptr;
    }
    return std::unique_ptr<SystemPowerNotifications>(
        new SystemPowerNotifications(std::move(subscription)));
}

SystemPowerNotifications::SystemPowerNotifications(std::unique_ptr<Subscription> subscription)
    : subscription(std::move(subscription)) {}

SystemPowerNotifications::~SystemPowerNotifications() = default;
