#include "PowerNotifications.h"
#include "SecureStore.h"
#include "SleepInhibitor.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>

namespace {

const char kWho[] = "Orvanta", kWhy[] = "Orvanta stream monitoring";
const char kMock[] = "org.freedesktop.DBus.Mock";
const char kLogind[] = "org.freedesktop.login1", kLogindPath[] = "/org/freedesktop/login1";
const char kSessionManager[] = "org.gnome.SessionManager", kSessionManagerPath[] = "/org/gnome/SessionManager";

using VariantPtr = std::unique_ptr<GVariant, decltype(&g_variant_unref)>;

// One call on the test's own connection to a bus; null on failure.
VariantPtr Call(GBusType bus, const char* name, const char* path, const char* interface, const char* method,
                GVariant* arguments = nullptr)
{
    GDBusConnection* connection = g_bus_get_sync(bus, nullptr, nullptr);
    GVariant* reply = g_dbus_connection_call_sync(connection, name, path, interface, method, arguments, nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    g_object_unref(connection);
    return VariantPtr(reply, &g_variant_unref);
}

std::string Text(GVariant* value)
{
    gchar* text = value == nullptr ? g_strdup("(no reply)") : g_variant_print(value, FALSE);
    const std::string copy = text;
    g_free(text);
    return copy;
}

std::string LogindInhibitors()
{
    return Text(Call(G_BUS_TYPE_SYSTEM, kLogind, kLogindPath, "org.freedesktop.login1.Manager", "ListInhibitors").get());
}

// The arguments of every recorded call of `method` on the session manager mock.
std::string SessionManagerCalls(const char* method)
{
    VariantPtr reply = Call(G_BUS_TYPE_SESSION, kSessionManager, kSessionManagerPath, kMock, "GetMethodCalls",
                            g_variant_new("(s)", method));
    std::string calls;
    VariantPtr list(reply ? g_variant_get_child_value(reply.get(), 0) : g_variant_new("a(tav)", nullptr), &g_variant_unref);
    for (gsize i = 0; i < g_variant_n_children(list.get()); ++i) {
        VariantPtr call(g_variant_get_child_value(list.get(), i), &g_variant_unref);
        VariantPtr arguments(g_variant_get_child_value(call.get(), 1), &g_variant_unref);
        calls += Text(arguments.get());
    }
    return calls;
}

// Runs this thread's default main context until `done`, for at most 5 s.
bool IterateUntil(const std::function<bool()>& done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        if (!g_main_context_iteration(nullptr, FALSE))
            g_usleep(10000);
    }
    return done();
}

}  // namespace

TEST(IdleSleepAssertion, HoldsOneIdleLockAndOneSuspendInhibitorWhileAlive)
{
    Call(G_BUS_TYPE_SESSION, kSessionManager, kSessionManagerPath, kMock, "ClearCalls");
    std::unique_ptr<IdleSleepAssertion> assertion = IdleSleepAssertion::Take(kWho, kWhy);
    ASSERT_TRUE(assertion);
    // 1000 and 123456 are the user and process the mock records for every lock.
    EXPECT_EQ(LogindInhibitors(), "([('idle', 'Orvanta', 'Orvanta stream monitoring', 'block', 1000, 123456)],)");
    // Suspend (4) only, so that the screen may still blank; no window (0).
    EXPECT_EQ(SessionManagerCalls("Inhibit"), "[<'Orvanta'>, <uint32 0>, <'Orvanta stream monitoring'>, <uint32 4>]");
    EXPECT_EQ(SessionManagerCalls("Uninhibit"), "");

    assertion.reset();
    EXPECT_EQ(SessionManagerCalls("Uninhibit"), "[<uint32 4711>]");  // the mock's cookie
    // logind drops a lock when its descriptor hangs up, in its own time.
    EXPECT_TRUE(IterateUntil([] { return LogindInhibitors() == "([],)"; })) << LogindInhibitors();
}

TEST(SystemPowerNotifications, PrepareForSleepAndItsEndBecomeSleepAndWake)
{
    std::vector<PowerEvent> events;
    std::unique_ptr<SystemPowerNotifications> registration =
        SystemPowerNotifications::Register([&](PowerEvent event) { events.push_back(event); });
    ASSERT_TRUE(registration);
    for (const bool goingToSleep : {true, false}) {
        ASSERT_TRUE(Call(G_BUS_TYPE_SYSTEM, kLogind, kLogindPath, kMock, "EmitSignal",
                         g_variant_new_parsed("('org.freedesktop.login1.Manager', 'PrepareForSleep', 'b', [<%b>])",
                                              gboolean(goingToSleep))));
        const std::size_t expected = events.size() + 1;
        ASSERT_TRUE(IterateUntil([&] { return events.size() == expected; }));
    }
    EXPECT_EQ(events, (std::vector<PowerEvent>{PowerEvent::WillSleep, PowerEvent::HasPoweredOn}));
}

TEST(PowerWithoutBuses, NothingIsTakenOrRegisteredAndNothingPrinted)
{
    const std::string system = std::getenv("DBUS_SYSTEM_BUS_ADDRESS"), session = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket", 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/session_bus_socket", 1);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool taken = IdleSleepAssertion::Take(kWho, kWhy) != nullptr;
    const bool registered = SystemPowerNotifications::Register([](PowerEvent) {}) != nullptr;
    const std::string printed = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", system.c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", session.c_str(), 1);
    EXPECT_FALSE(taken);
    EXPECT_FALSE(registered);
    EXPECT_EQ(printed, "");
}

TEST(SecureStore, KeepsExactBytesUntilDeleted)
{
    const std::unique_ptr<SecureStore> store = CreateSystemSecureStore();
    const char service[] = "com.tesselwick.orvanta.GoogleDrive", account[] = "refresh_token";
    const std::string token("1//0g\xc3\xa9t\0ok\xff\xfe", 12);  // non-ASCII, a NUL byte, not UTF-8
    std::string read;
    EXPECT_FALSE(store->Get(service, account, read)) << "a missing item";
    ASSERT_TRUE(store->Add(service, account, token));
    EXPECT_TRUE(store->Get(service, account, read) && read == token) << read;
    ASSERT_TRUE(store->Add(service, account, "replaced"));
    EXPECT_TRUE(store->Get(service, account, read) && read == "replaced") << read;
    EXPECT_TRUE(store->Delete(service, account));
    EXPECT_TRUE(store->Delete(service, account)) << "deleting a missing item is no failure";
    EXPECT_FALSE(store->Get(service, account, read));
}
