#include "DesktopNotifier.h"

#include "BusConnection.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>

namespace {

const char kServerName[] = "org.freedesktop.Notifications";
const char kServerPath[] = "/org/freedesktop/Notifications";
const char kServerInterface[] = "org.freedesktop.Notifications";
const char kAppName[] = "Orvanta";
const char kDesktopEntry[] = "com.tesselwick.Orvanta";
const char kDefaultAction[] = "default";

// A server answers in milliseconds; one that hangs holds up only the queue.
constexpr gint kCallTimeoutMs = 5000;
constexpr std::size_t kMaxWaitingNotifications = 8;
// Ids whose click still raises the window, besides the latest of each key;
// the program runs for days and must not collect ids without end.
constexpr std::size_t kRememberedIds = 64;

// The cancellable is cancelled only by the destructor, so a cancelled
// operation means its Session is gone and must not be touched.
bool IsCancelled(const GError* error) {
    return g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
}

// The protocol takes a file:// URI or an icon theme name, not a bare path.
std::string IconReference(const std::string& appIcon) {
    if (!g_path_is_absolute(appIcon.c_str())) {
        return appIcon;
    }
    GError* rawError = nullptr;
    GFreePtr<gchar> uri(g_filename_to_uri(appIcon.c_str(), nullptr, &rawError));
    GErrorPtr error(rawError);
    return uri ? uri.get() : "";
}

// D-Bus strings must be UTF-8; camera names and error texts need not be.
GFreePtr<gchar> ValidUtf8(const std::string& text) {
    return GFreePtr<gchar>(g_utf8_make_valid(text.data(), static_cast<gssize>(text.size())));
}

}  // namespace

class DesktopNotifier::Session {
public:
    Session(const std::string& appIcon, ActivatedCallback onActivated)
        : appIcon(IconReference(appIcon)),
          onActivated(std::move(onActivated)),
          cancellable(g_cancellable_new()) {
        GError* rawError = nullptr;
        GFreePtr<gchar> address(
            g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, cancellable.get(), &rawError));
        GErrorPtr error(rawError);
        if (!address) {
            GiveUp(error.get());
            return;
        }
        // A private connection, as BusConnection.h explains, opened without
        // waiting so that a stuck bus never holds up the GUI thread.
        g_dbus_connection_new_for_address(
            address.get(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, cancellable.get(), OnConnected, this);
    }

    // Cancelling first keeps every pending reply away from this object, and
    // unsubscribing keeps every later click away from onActivated (GDBus drops
    // queued signals of a subscription that is gone); the connection goes last,
    // flushing notifications already sent.
    ~Session() {
        g_cancellable_cancel(cancellable.get());
        if (subscriptionId != 0) {
            g_dbus_connection_signal_unsubscribe(connection.get(), subscriptionId);
        }
        ClosePrivateBusConnection(std::move(connection));
    }

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void Notify(const std::string& summary, const std::string& body, const std::string& replaceKey) {
        if (state == State::Unavailable) {
            return;
        }
        if (waiting.size() >= kMaxWaitingNotifications) {
            waiting.pop_front();
        }
        waiting.push_back({summary, body, replaceKey});
        SendNext();
    }

private:
    enum class State { Connecting, Ready, Unavailable };

    struct Request {
        std::string summary, body, replaceKey;
    };

    static void OnConnected(GObject*, GAsyncResult* result, gpointer userData) {
        GError* rawError = nullptr;
        GObjectPtr<GDBusConnection> connection(g_dbus_connection_new_for_address_finish(result, &rawError));
        GErrorPtr error(rawError);
        if (IsCancelled(error.get())) {
            return;
        }
        Session& self = *static_cast<Session*>(userData);
        if (!connection) {
            self.GiveUp(error.get());
            return;
        }
        self.connection = std::move(connection);
        self.subscriptionId = g_dbus_connection_signal_subscribe(
            self.connection.get(), kServerName, kServerInterface, "ActionInvoked", kServerPath,
            nullptr, G_DBUS_SIGNAL_FLAGS_NONE, OnActionInvoked, &self, nullptr);
        // Queued behind the match rule that subscribing sent: once answered,
        // the bus routes every click to us.
        g_dbus_connection_call(self.connection.get(), kServerName, kServerPath, kServerInterface,
                               "GetCapabilities", nullptr, G_VARIANT_TYPE("(as)"),
                               G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, self.cancellable.get(),
                               OnCapabilities, &self);
    }

    // Without an answer the server may still come later (it is started on
    // demand or restarted); the body is then sent as plain text.
    static void OnCapabilities(GObject* source, GAsyncResult* result, gpointer userData) {
        GError* rawError = nullptr;
        GVariantPtr reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &rawError));
        GErrorPtr error(rawError);
        if (IsCancelled(error.get())) {
            return;
        }
        Session& self = *static_cast<Session*>(userData);
        if (reply) {
            const gchar** rawCapabilities = nullptr;
            g_variant_get(reply.get(), "(^a&s)", &rawCapabilities);
            GFreePtr<const gchar*> capabilities(rawCapabilities);
            self.isBodyMarkup = g_strv_contains(capabilities.get(), "body-markup");
        } else {
            self.ReportOnce(error.get());
        }
        self.state = State::Ready;
        self.SendNext();
    }

    static void OnNotified(GObject* source, GAsyncResult* result, gpointer userData) {
        GError* rawError = nullptr;
        GVariantPtr reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &rawError));
        GErrorPtr error(rawError);
        if (IsCancelled(error.get())) {
            return;
        }
        Session& self = *static_cast<Session*>(userData);
        if (reply) {
            guint32 id = 0;
            g_variant_get(reply.get(), "(u)", &id);
            self.Remember(id, self.sendingKey);
        } else {
            self.ReportOnce(error.get());
        }
        self.isSending = false;
        self.SendNext();
    }

    static void OnActionInvoked(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                GVariant* parameters, gpointer userData) {
        if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
            return;
        }
        guint32 id = 0;
        const gchar* action = nullptr;
        g_variant_get(parameters, "(u&s)", &id, &action);
        Session& self = *static_cast<Session*>(userData);
        if (g_strcmp0(action, kDefaultAction) == 0 && self.IsOurs(id) && self.onActivated) {
            self.onActivated();
        }
    }

    // One call at a time, so that a replacement always knows the id the
    // notification it replaces got back.
    void SendNext() {
        if (state != State::Ready || isSending || waiting.empty()) {
            return;
        }
        const Request request = std::move(waiting.front());
        waiting.pop_front();
        const auto replaced = keyedIds.find(request.replaceKey);
        const guint32 replacesId = replaced == keyedIds.end() ? 0 : replaced->second;
        const GFreePtr<gchar> summary = ValidUtf8(request.summary);
        GFreePtr<gchar> body = ValidUtf8(request.body);
        if (isBodyMarkup) {
            body.reset(g_markup_escape_text(body.get(), -1));
        }
        const gchar* const actions[] = {kDefaultAction, "Show Orvanta", nullptr};
        GVariantBuilder hints;
        g_variant_builder_init(&hints, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string(kDesktopEntry));
        g_dbus_connection_call(
            connection.get(), kServerName, kServerPath, kServerInterface, "Notify",
            g_variant_new("(susss^asa{sv}i)", kAppName, replacesId, appIcon.c_str(), summary.get(),
                          body.get(), actions, &hints, -1),
            G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, cancellable.get(),
            OnNotified, this);
        isSending = true;
        sendingKey = request.replaceKey;
    }

    void Remember(guint32 id, const std::string& replaceKey) {
        if (!replaceKey.empty()) {
            keyedIds[replaceKey] = id;
        }
        if (std::find(recentIds.begin(), recentIds.end(), id) == recentIds.end()) {
            recentIds.push_back(id);
            if (recentIds.size() > kRememberedIds) {
                recentIds.pop_front();
            }
        }
    }

    bool IsOurs(guint32 id) const {
        return std::find(recentIds.begin(), recentIds.end(), id) != recentIds.end() ||
               std::any_of(keyedIds.begin(), keyedIds.end(),
                           [id](const auto& keyed) { return keyed.second == id; });
    }

    // Without a bus there is nothing to try again with.
    void GiveUp(GError* error) {
        ReportOnce(error);
        state = State::Unavailable;
        waiting.clear();
    }

    void ReportOnce(GError* error) {
        if (hasReported) {
            return;
        }
        hasReported = true;
        g_dbus_error_strip_remote_error(error);
        std::printf("[Notify] No desktop notification server: %s\n", error->message);
        std::fflush(stdout);
    }

    const std::string appIcon;  // a file:// URI or an icon theme name
    const ActivatedCallback onActivated;
    GObjectPtr<GCancellable> cancellable;
    GObjectPtr<GDBusConnection> connection;
    guint subscriptionId = 0;

    State state = State::Connecting;
    bool isBodyMarkup = false;
    bool hasReported = false;
    bool isSending = false;
    std::string sendingKey;
    std::deque<Request> waiting;
    std::map<std::string, guint32> keyedIds;
    std::deque<guint32> recentIds;
};

DesktopNotifier::DesktopNotifier(const std::string& appIcon, ActivatedCallback onActivated)
    : session(std::make_unique<Session>(appIcon, std::move(onActivated))) {}

DesktopNotifier::~DesktopNotifier() = default;

void DesktopNotifier::Notify(const std::string& summary, const std::string& body,
                             const std::string& replaceKey) {
    session->Notify(summary, body, replaceKey);
}
