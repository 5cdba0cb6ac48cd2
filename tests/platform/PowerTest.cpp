#include "PowerNotifications.h"
#include "SleepInhibitor.h"

#include "TestDaemons.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

namespace {

using namespace std::chrono_literals;

const char kWho[] = "Orvanta";
const char kWhy[] = "Orvanta stream monitoring";

// The code under test reads the standard address variables at every
// connection; every test sets both, so none sees the developer's own buses.
void UseBuses(const std::string& systemAddress, const std::string& sessionAddress)
{
    setenv("DBUS_SYSTEM_BUS_ADDRESS", systemAddress.c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", sessionAddress.c_str(), 1);
}

class PowerTest : public ::testing::Test {
protected:
    void SetUp() override {
        systemBus = PrivateBus::Start(dir.Path(), "system");
        ASSERT_TRUE(systemBus) << "dbus-daemon did not start";
        systemClient = BusClient::Connect(systemBus->Address());
        ASSERT_TRUE(systemClient);
        // No session bus unless a test starts one.
        UseBuses(systemBus->Address(), "unix:path=" + dir.Path() + "/absent.sock");
    }

    void StartLogind() {
        logind = DBusMock::StartTemplate("logind", "DBUS_SYSTEM_BUS_ADDRESS", systemBus->Address(),
                                         "org.freedesktop.login1", dir.Path());
        ASSERT_TRUE(logind) << "logind mock did not start";
    }

    // A session bus with a GNOME session manager whose Inhibit hands out
    // cookie 17; calls are recorded by the mock.
    void StartSessionManager() {
        sessionBus = PrivateBus::Start(dir.Path(), "session");
        ASSERT_TRUE(sessionBus);
        UseBuses(systemBus->Address(), sessionBus->Address());
        sessionManager = DBusMock::StartObject(sessionBus->Address(), "org.gnome.SessionManager",
                                               "/org/gnome/SessionManager", "org.gnome.SessionManager", dir.Path());
        ASSERT_TRUE(sessionManager);
        sessionClient = BusClient::Connect(sessionBus->Address());
        ASSERT_TRUE(sessionClient);
        for (const auto& [name, in, out, code] :
             {std::tuple{"Inhibit", "susu", "u", "ret = dbus.UInt32(17)"}, std::tuple{"Uninhibit", "u", "", ""}}) {
            ASSERT_TRUE(sessionClient->Call("org.gnome.SessionManager", "/org/gnome/SessionManager",
                                            "org.freedesktop.DBus.Mock", "AddMethod",
                                            g_variant_new("(sssss)", "", name, in, out, code)));
        }
    }

    // The arguments of every recorded call of `method` on the session manager
    // mock, as GVariant text.
    std::vector<std::string> SessionManagerCalls(const char* method) {
        std::vector<std::string> calls;
        VariantPtr reply = sessionClient->Call("org.gnome.SessionManager", "/org/gnome/SessionManager",
                                               "org.freedesktop.DBus.Mock", "GetMethodCalls",
                                               g_variant_new("(s)", method));
        if (!reply) {
            ADD_FAILURE() << "GetMethodCalls failed";
            return calls;
        }
        VariantPtr list(g_variant_get_child_value(reply.get(), 0));
        for (gsize i = 0; i < g_variant_n_children(list.get()); ++i) {
            VariantPtr call(g_variant_get_child_value(list.get(), i));
            VariantPtr arguments(g_variant_get_child_value(call.get(), 1));
            gchar* text = g_variant_print(arguments.get(), TRUE);
            calls.emplace_back(text);
            g_free(text);
        }
        return calls;
    }

    std::vector<Inhibitor> ListInhibitors() {
        std::vector<Inhibitor> inhibitors;
        EXPECT_TRUE(ListLogindInhibitors(*systemClient, inhibitors)) << "ListInhibitors failed";
        return inhibitors;
    }

    // logind notices a released lock when the descriptor's other end hangs up,
    // which it handles in its own time.
    bool WaitUntilNoInhibitors() {
        return IterateMainContextUntil([&] { return ListInhibitors().empty(); }, 5s);
    }

    TempDir dir;
    std::unique_ptr<PrivateBus> systemBus;
    std::unique_ptr<BusClient> systemClient;
    std::unique_ptr<DBusMock> logind;
    std::unique_ptr<PrivateBus> sessionBus;
    std::unique_ptr<BusClient> sessionClient;
    std::unique_ptr<DBusMock> sessionManager;
};

// Records what reached a registration's callback and on which thread.
struct EventLog {
    SystemPowerNotifications::Callback Recorder() {
        return [this](PowerEvent event) {
            events.push_back(event);
            threads.push_back(std::this_thread::get_id());
        };
    }
    std::vector<PowerEvent> events;
    std::vector<std::thread::id> threads;
};

TEST_F(PowerTest, AssertionIsOneIdleBlockLockHeldExactlyWhileAlive) {
    StartLogind();
    const Inhibitor expected{"idle", kWho, kWhy, "block"};
    for (int round = 0; round < 3; ++round) {
        std::unique_ptr<IdleSleepAssertion> assertion = IdleSleepAssertion::Take(kWho, kWhy);
        ASSERT_TRUE(assertion) << "round " << round;
        EXPECT_EQ(ListInhibitors(), std::vector<Inhibitor>{expected}) << "round " << round;
        assertion.reset();
        EXPECT_TRUE(WaitUntilNoInhibitors()) << "round " << round;
    }
}

TEST_F(PowerTest, AProgramLaunchedWhileHoldingDoesNotKeepTheLock) {
    StartLogind();
    std::unique_ptr<IdleSleepAssertion> assertion = IdleSleepAssertion::Take(kWho, kWhy);
    ASSERT_TRUE(assertion);
    SpawnOptions options;
    options.argv = {"sleep", "30"};
    std::unique_ptr<ChildProcess> launched = ChildProcess::Start(options);
    ASSERT_TRUE(launched);
    assertion.reset();
    EXPECT_TRUE(WaitUntilNoInhibitors()) << "the lock descriptor leaked into the child";
}

TEST_F(PowerTest, DesktopSuspendInhibitorIsTakenAndDroppedWithTheSystemLock) {
    StartLogind();
    StartSessionManager();

    std::unique_ptr<IdleSleepAssertion> assertion = IdleSleepAssertion::Take(kWho, kWhy);
    ASSERT_TRUE(assertion);
    EXPECT_EQ(ListInhibitors().size(), 1u);
    // Suspend only (4), so the display may still blank; no window (0).
    const std::vector<std::string> inhibit = {"[<'Orvanta'>, <uint32 0>, <'Orvanta stream monitoring'>, <uint32 4>]"};
    EXPECT_EQ(SessionManagerCalls("Inhibit"), inhibit);
    EXPECT_TRUE(SessionManagerCalls("Uninhibit").empty());

    assertion.reset();
    EXPECT_EQ(SessionManagerCalls("Uninhibit"), std::vector<std::string>{"[<uint32 17>]"});
    EXPECT_TRUE(WaitUntilNoInhibitors());
    EXPECT_EQ(SessionManagerCalls("Inhibit"), inhibit);
}

TEST_F(PowerTest, AssertionNeedsAtLeastOneOfLogindAndTheSessionManager) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(IdleSleepAssertion::Take(kWho, kWhy)) << "bus without logind or session";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    StartSessionManager();
    std::unique_ptr<IdleSleepAssertion> desktopOnly = IdleSleepAssertion::Take(kWho, kWhy);
    EXPECT_TRUE(desktopOnly);
    EXPECT_EQ(SessionManagerCalls("Inhibit").size(), 1u);
    desktopOnly.reset();
    EXPECT_EQ(SessionManagerCalls("Uninhibit").size(), 1u);
}

TEST_F(PowerTest, SleepAndWakeReachTheCallbackOnTheRegisteringThread) {
    StartLogind();
    EventLog log;
    std::unique_ptr<SystemPowerNotifications> registration = SystemPowerNotifications::Register(log.Recorder());
    ASSERT_TRUE(registration);

    ASSERT_TRUE(EmitLogindPrepareForSleep(*systemClient, true));
    ASSERT_TRUE(IterateMainContextUntil([&] { return log.events.size() == 1; }, 5s));
    ASSERT_TRUE(EmitLogindPrepareForSleep(*systemClient, false));
    ASSERT_TRUE(IterateMainContextUntil([&] { return log.events.size() == 2; }, 5s));

    EXPECT_EQ(log.events, (std::vector<PowerEvent>{PowerEvent::WillSleep, PowerEvent::HasPoweredOn}));
    EXPECT_EQ(log.threads, std::vector<std::thread::id>(2, std::this_thread::get_id()));
}

TEST_F(PowerTest, OnlyLogindItselfCanAnnounceAWake) {
    StartLogind();
    EventLog log;
    std::unique_ptr<SystemPowerNotifications> registration = SystemPowerNotifications::Register(log.Recorder());
    ASSERT_TRUE(registration);

    // The bus routes in order, so the forged signal would arrive first.
    ASSERT_TRUE(systemClient->EmitSignal("/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                         "PrepareForSleep", g_variant_new("(b)", FALSE)));
    ASSERT_TRUE(EmitLogindPrepareForSleep(*systemClient, true));
    ASSERT_TRUE(IterateMainContextUntil([&] { return !log.events.empty(); }, 5s));
    IterateMainContextUntil([] { return false; }, 100ms);
    EXPECT_EQ(log.events, std::vector<PowerEvent>{PowerEvent::WillSleep});
}

TEST_F(PowerTest, RegistrationMadeBeforeLogindStartsHearsItLater) {
    EventLog log;
    std::unique_ptr<SystemPowerNotifications> registration = SystemPowerNotifications::Register(log.Recorder());
    ASSERT_TRUE(registration) << "the bus is there, so registering succeeds";
    StartLogind();
    ASSERT_TRUE(EmitLogindPrepareForSleep(*systemClient, false));
    ASSERT_TRUE(IterateMainContextUntil([&] { return !log.events.empty(); }, 5s));
    EXPECT_EQ(log.events, std::vector<PowerEvent>{PowerEvent::HasPoweredOn});
}

TEST_F(PowerTest, NothingReachesACallbackAfterItsRegistrationIsGone) {
    StartLogind();
    EventLog gone;
    EventLog kept;
    std::unique_ptr<SystemPowerNotifications> toDrop = SystemPowerNotifications::Register(gone.Recorder());
    std::unique_ptr<SystemPowerNotifications> toKeep = SystemPowerNotifications::Register(kept.Recorder());
    ASSERT_TRUE(toDrop && toKeep);

    // Let the signal reach both connections and wait in the main context, so
    // that the dropped registration may already have one queued.
    ASSERT_TRUE(EmitLogindPrepareForSleep(*systemClient, false));
    std::this_thread::sleep_for(200ms);
    toDrop.reset();
    ASSERT_TRUE(IterateMainContextUntil([&] { return kept.events.size() == 1; }, 5s));
    ASSERT_TRUE(EmitLogindPrepareForSleep(*systemClient, false));
    ASSERT_TRUE(IterateMainContextUntil([&] { return kept.events.size() == 2; }, 5s));
    EXPECT_TRUE(gone.events.empty());
}

TEST(PowerWithoutBuses, NothingIsTakenOrRegisteredAndNothingPrinted) {
    TempDir dir;
    UseBuses("unix:path=" + dir.Path() + "/no-system.sock", "unix:path=" + dir.Path() + "/no-session.sock");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::unique_ptr<IdleSleepAssertion> assertion = IdleSleepAssertion::Take(kWho, kWhy);
    std::unique_ptr<SystemPowerNotifications> registration = SystemPowerNotifications::Register([](PowerEvent) {});
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(assertion);
    EXPECT_FALSE(registration);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
}

}  // namespace
