#include "BusConnection.h"

GObjectPtr<GDBusConnection> OpenPrivateBusConnection(GBusType busType) {
    GError* rawError = nullptr;
    GFreePtr<gchar> address(g_dbus_address_get_for_bus_sync(busType, nullptr, &rawError));
    GErrorPtr addressError(rawError);
    if (!address) {
        return nullptr;
    }
    rawError = nullptr;
    GObjectPtr<GDBusConnection> connection(g_dbus_connection_new_for_address_sync(
        address.get(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &rawError));
    GErrorPtr connectError(rawError);
    if (!connection) {
        return nullptr;
    }
    g_dbus_connection_set_exit_on_close(connection.get(), FALSE);
    return connection;
}

void ClosePrivateBusConnection(GObjectPtr<GDBusConnection> connection) {
    if (connection) {
        g_dbus_connection_close_sync(connection.get(), nullptr, nullptr);
    }
}
