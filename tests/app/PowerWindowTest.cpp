#include "WindowFixture.h"

namespace {

const Inhibitor kStreamLock{"idle", "Orvanta", "Orvanta stream monitoring", "block"};
const char* const kWoke = "Woke from sleep \u2014 reconnecting...";

// A window whose system bus is a private one with python3-dbusmock's logind.
class PowerWindowTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        systemBus = PrivateBus::Start(dir.Path(), "system");
        ASSERT_TRUE(systemBus);
        systemClient = BusClient::Connect(systemBus->Address());
        ASSERT_TRUE(systemClient);
        logind = DBusMock::StartTemplate("logind", "DBUS_SYSTEM_BUS_ADDRESS", systemBus->Address(),
                                         "org.freedesktop.login1", dir.Path());
        ASSERT_TRUE(logind);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", systemBus->Address().c_str(), 1);
    }

    void TearDown() override
    {
        WindowTest::TearDown();
        setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/orvanta-test-system-bus", 1);
    }

    std::vector<Inhibitor> Locks()
    {
        std::vector<Inhibitor> locks;
        EXPECT_TRUE(ListLogindInhibitors(*systemClient, locks));
        return locks;
    }

    // logind drops a released lock when it notices the hang-up, in its own time.
    bool LocksBecome(const std::vector<Inhibitor>& expected)
    {
        return PumpUntil([&] { return Locks() == expected; }, 5s);
    }

    bool Wake() { return EmitLogindPrepareForSleep(*systemClient, false); }

    TempDir dir;
    std::unique_ptr<PrivateBus> systemBus;
    std::unique_ptr<BusClient> systemClient;
    std::unique_ptr<DBusMock> logind;
};

TEST_F(PowerWindowTest, OneIdleLockIsHeldFromStartToStopOfEveryStream)
{
    MainFrame* frame = Open();
    ASSERT_TRUE(WaitForText(frame, kNoUrl));
    EXPECT_TRUE(Locks().empty());  // no URL, no lock

    for (int round = 0; round < 4; ++round) {
        AnswerSettings(frame, "rtsp://127.0.0.1:9/round" + std::to_string(round));
        ASSERT_TRUE(WaitForOpenFailure(frame));
        // The stream failed on its own: the lock stays until the next stop.
        EXPECT_TRUE(LocksBecome({kStreamLock})) << testing::PrintToString(Locks());
    }

    ASSERT_TRUE(CloseAndWait(frame, true));
    EXPECT_TRUE(LocksBecome({})) << testing::PrintToString(Locks());
}

TEST_F(PowerWindowTest, WakeRestartsTheStreamFiveSecondsLaterAndOnlyOnce)
{
    StoreUrl("rtsp://127.0.0.1:9/door");
    MainFrame* frame = Open();
    ASSERT_TRUE(WaitForOpenFailure(frame));
    // Restarting many times must not register for power events again.
    for (int round = 0; round < 3; ++round) {
        AnswerSettings(frame, "rtsp://127.0.0.1:9/door" + std::to_string(round));
        ASSERT_TRUE(WaitForOpenFailure(frame));
    }

    // Failures are reported after the capture ends, or they would be captured.
    testing::internal::CaptureStdout();
    const bool sleepSignalled = EmitLogindPrepareForSleep(*systemClient, true);  // nothing happens
    const bool wakeSignalled = Wake();
    const bool wokeShown = WaitForText(frame, kWoke);
    const auto wokeAt = std::chrono::steady_clock::now();
    // The wake stopped the stream, so its lock is gone during the wait.
    const bool lockReleased = LocksBecome({});

    // A second wake inside the five seconds starts a second wait, whose
    // restart then finds the stream already running.
    PumpFor(1s);
    const bool secondWakeSignalled = Wake();
    // The refused connection fails at once, so its message marks the restart.
    const bool restarted = WaitForOpenFailure(frame);
    const auto restartedAfter = std::chrono::steady_clock::now() - wokeAt;
    const bool lockTakenAgain = LocksBecome({kStreamLock});
    PumpFor(6500ms);
    const std::vector<std::string> lines = CapturedStatusLines();

    EXPECT_TRUE(sleepSignalled && wakeSignalled && secondWakeSignalled);
    EXPECT_TRUE(wokeShown);
    EXPECT_TRUE(lockReleased);
    EXPECT_TRUE(restarted);
    EXPECT_TRUE(lockTakenAgain);
    EXPECT_GE(restartedAfter, 4500ms);
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines[0], kWoke);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(kWoke)), 2) << testing::PrintToString(lines);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string("Connecting to RTSP stream...")), 1)
        << testing::PrintToString(lines);
}

TEST_F(PowerWindowTest, WakeJustBeforeTheWindowClosesIsHarmless)
{
    StoreUrl("rtsp://127.0.0.1:9/closing");
    MainFrame* frame = Open();
    ASSERT_TRUE(WaitForOpenFailure(frame));
    ASSERT_TRUE(Wake());
    ASSERT_TRUE(WaitForText(frame, kWoke));
    ASSERT_TRUE(CloseAndWait(frame, false));
    // The reconnect thread's five seconds run out after the window has gone.
    PumpFor(6s);
    EXPECT_TRUE(Locks().empty());
}

}  // namespace
