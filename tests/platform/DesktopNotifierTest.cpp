#include "AppIcon.h"
#include "DesktopNotifier.h"

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <vector>

namespace {

const char kServer[] = "org.freedesktop.Notifications", kServerPath[] = "/org/freedesktop/Notifications";
const char kMock[] = "org.freedesktop.DBus.Mock";
const char kDesktopEntry[] = "com.tesselwick.Orvanta";
// Long enough for anything still queued on the bus to arrive.
constexpr int kQuietMs = 300;

using VariantPtr = std::unique_ptr<GVariant, decltype(&g_variant_unref)>;

// One call to the mock notification server on the test's own connection; null on failure.
VariantPtr CallServer(const char* interface, const char* method, GVariant* arguments = nullptr)
{
    GDBusConnection* connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    GVariant* reply = g_dbus_connection_call_sync(connection, kServer, kServerPath, interface, method, arguments,
                                                  nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    g_object_unref(connection);
    return VariantPtr(reply, &g_variant_unref);
}

// The arguments of every Notify the server received, printed, in order.
std::vector<std::string> ReceivedNotifications()
{
    VariantPtr reply = CallServer(kMock, "GetMethodCalls", g_variant_new("(s)", "Notify"));
    std::vector<std::string> received;
    GVariantIter* calls = nullptr;
    g_variant_get(reply.get(), "(a(tav))", &calls);
    for (GVariant* arguments = nullptr; g_variant_iter_next(calls, "(t@av)", nullptr, &arguments);) {
        gchar* text = g_variant_print(arguments, FALSE);
        received.emplace_back(text);
        g_free(text);
        g_variant_unref(arguments);
    }
    g_variant_iter_free(calls);
    return received;
}

void Click(guint32 id, const char* action)
{
    ASSERT_TRUE(CallServer(kMock, "EmitSignal", g_variant_new_parsed("('', 'ActionInvoked', 'us', [<%u>, <%s>])",
                                                                     id, action)));
}

// Runs this thread's default main context until `done`, for at most timeoutMs.
bool IterateUntil(const std::function<bool()>& done, int timeoutMs = 5000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        if (!g_main_context_iteration(nullptr, FALSE))
            g_usleep(10000);
    }
    return done();
}

class DesktopNotifierTest : public testing::Test {
protected:
    // Ids count from 1 again and the call log is empty.
    void SetUp() override { ASSERT_TRUE(CallServer(kMock, "Reset") && CallServer(kMock, "ClearCalls")); }
};

}  // namespace

TEST_F(DesktopNotifierTest, ReachesTheServerReplacesByKeyAndReportsAClickOnItsOwn)
{
    const struct {
        const char *summary, *body, *replaceKey;
        guint32 replacesId;
        const char* bodyReceived;  // the server reads markup; a camera may send Latin-1
    } sent[] = {
        {"Motion", "Front door", "", 0, "Front door"},                     // id 1
        {"Stream stopped", "Reconnecting", "stream", 0, "Reconnecting"},   // id 2
        {"Google Drive", "Sign in again", "drive", 0, "Sign in again"},    // id 3
        {"Stream is back", "Caf\xe9 & <b>", "stream", 2, "Caf\uFFFD &amp; &lt;b&gt;"},
        {"Motion", "Front door", "", 0, "Front door"},                     // id 4
    };
    ASSERT_FALSE(AppIconPath().empty());
    int activations = 0;
    DesktopNotifier notifier(AppIconPath(), [&] { ++activations; });
    // The first waits for the connection, the others are given at once to a connected notifier.
    for (std::size_t i = 0; i < std::size(sent); ++i) {
        notifier.Notify(sent[i].summary, sent[i].body, sent[i].replaceKey);
        if (i == 0) {
            ASSERT_TRUE(IterateUntil([] { return ReceivedNotifications().size() == 1; }));
        }
    }
    ASSERT_TRUE(IterateUntil([&] { return ReceivedNotifications().size() == std::size(sent); }));
    const std::vector<std::string> received = ReceivedNotifications();
    for (std::size_t i = 0; i < std::size(sent); ++i) {
        gchar* expected = g_strdup_printf(
            "[<'Orvanta'>, <uint32 %u>, <'file://%s'>, <'%s'>, <'%s'>, <['default', 'Show Orvanta']>, "
            "<{'desktop-entry': <'%s'>}>, <-1>]",
            sent[i].replacesId, AppIconPath().c_str(), sent[i].summary, sent[i].bodyReceived, kDesktopEntry);
        EXPECT_EQ(received[i], expected) << "notification " << i;
        g_free(expected);
    }

    // Each call went out after the answer to the one before, so the notifier
    // knows ids 1 to 3 before any click arrives; nobody's notification has id 9.
    const struct {
        guint32 id;
        const char* action;
        bool activates;
    } clicks[] = {{9, "default", false}, {2, "snooze", false}, {1, "default", true}, {2, "default", true}};
    int expected = 0;
    for (const auto& click : clicks) {
        Click(click.id, click.action);
        expected += click.activates;
    }
    EXPECT_TRUE(IterateUntil([&] { return activations >= expected; }));
    EXPECT_FALSE(IterateUntil([&] { return activations > expected; }, kQuietMs)) << activations;
}

TEST_F(DesktopNotifierTest, DestroyedWhileConnectingOrWithAnswersQueuedLeavesNothingBehind)
{
    for (const bool connected : {false, true}) {
        ASSERT_TRUE(CallServer(kMock, "Reset") && CallServer(kMock, "ClearCalls"));
        int activations = 0;
        auto notifier = std::make_unique<DesktopNotifier>(kDesktopEntry, [&] { ++activations; });
        notifier->Notify("Motion", "Front door");  // id 1
        if (connected) {
            // Returns once the server has the call: its answer, and then a
            // click on it, wait unread for the main context.
            ASSERT_TRUE(IterateUntil([] { return ReceivedNotifications().size() == 1; }));
            Click(1, "default");
            g_usleep(kQuietMs * 1000);
        }
        notifier.reset();
        IterateUntil([] { return false; }, kQuietMs);
        EXPECT_EQ(ReceivedNotifications().size(), connected ? 1u : 0u) << connected;
        EXPECT_EQ(activations, 0) << connected;
    }
}

TEST(DesktopNotifierWithoutServer, PrintsOneLineAndNothingElse)
{
    const std::string session = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const struct {
        const char* what;
        std::string sessionBusAddress;
    } cases[] = {
        {"no session bus", "unix:path=/nonexistent/session_bus_socket"},
        {"a bus where nobody serves notifications", std::getenv("DBUS_SYSTEM_BUS_ADDRESS")},
    };
    for (const auto& without : cases) {
        setenv("DBUS_SESSION_BUS_ADDRESS", without.sessionBusAddress.c_str(), 1);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        {
            DesktopNotifier notifier(kDesktopEntry, [] {});
            notifier.Notify("Motion", "Front door");
            notifier.Notify("Stream stopped", "Reconnecting", "stream");
            EXPECT_TRUE(IterateUntil([] {
                struct stat printed {};
                return fstat(STDOUT_FILENO, &printed) == 0 && printed.st_size > 0;
            })) << without.what << ": the line must be flushed at once";
            notifier.Notify("Stream is back", "", "stream");
            IterateUntil([] { return false; }, kQuietMs);
        }
        const std::string printed = testing::internal::GetCapturedStdout();
        const std::string errors = testing::internal::GetCapturedStderr();
        setenv("DBUS_SESSION_BUS_ADDRESS", session.c_str(), 1);
        EXPECT_EQ(printed.rfind("[Notify] No desktop notification server: ", 0), 0u) << without.what << ": " << printed;
        EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << without.what << ": " << printed;
        EXPECT_EQ(errors, "") << without.what;
    }
}
