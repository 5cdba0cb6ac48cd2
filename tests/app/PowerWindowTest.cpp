#include "TestDaemons.h"
#include "WindowFixture.h"

#include <gtest/gtest.h>

#include <wx/textctrl.h>

#include <algorithm>
#include <cstdlib>

namespace {

using namespace std::chrono_literals;

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

    void ApplyUrl(MainFrame* frame, const std::string& url)
    {
        ScriptedDialogs user([&](wxDialog* dialog) {
            wxDynamicCast(dialog->FindWindowByName("rtspUrl"), wxTextCtrl)
                ->SetValue(wxString::FromUTF8(url));
            return static_cast<int>(wxID_OK);
        });
        SendMenuCommand(frame, wxID_PREFERENCES);
    }

    TempDir dir;
    std::unique_ptr<PrivateBus> systemBus;
    std::unique_ptr<BusClient> systemClient;
    std::unique_ptr<DBusMock> logind;
};

TEST_F(PowerWindowTest, OneIdleLockIsHeldFromStartToStopOfEveryStream)
{
    MainFrame* frame = Open();
    ASSERT_TRUE(PumpUntil([&] { return Shows(frame, wxString::FromUTF8(kNoUrl)); }));
    EXPECT_TRUE(Locks().empty());  // no URL, no lock

    for (int round = 0; round < 4; ++round) {
        ApplyUrl(frame, "rtsp://127.0.0.1:9/round" + std::to_string(round));
        ASSERT_TRUE(PumpUntil([&] { return Label(frame).StartsWith("Unable to open stream: "); }));
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
    ASSERT_TRUE(PumpUntil([&] { return Label(frame).StartsWith("Unable to open stream: "); }));
    // Restarting many times must not register for power events again.
    for (int round = 0; round < 3; ++round) {
        ApplyUrl(frame, "rtsp://127.0.0.1:9/door" + std::to_string(round));
        ASSERT_TRUE(PumpUntil([&] { return Label(frame).StartsWith("Unable to open stream: "); }));
    }

    // Failures are reported after the capture ends, or they would be captured.
    testing::internal::CaptureStdout();
    const bool sleepSignalled = EmitLogindPrepareForSleep(*systemClient, true);  // nothing happens
    const bool wakeSignalled = EmitLogindPrepareForSleep(*systemClient, false);
    const bool wokeShown = PumpUntil([&] { return Label(frame) == wxString::FromUTF8(kWoke); });
    const auto wokeAt = std::chrono::steady_clock::now();
    // The wake stopped the stream, so its lock is gone during the wait.
    const bool lockReleased = LocksBecome({});

    // A second wake inside the five seconds starts a second wait, whose
    // restart then finds the stream already running.
    PumpFor(1s);
    const bool secondWakeSignalled = EmitLogindPrepareForSleep(*systemClient, false);
    // The refused connection fails at once, so its message marks the restart.
    const bool restarted =
        PumpUntil([&] { return Label(frame).StartsWith("Unable to open stream: "); }, 10s);
    const auto restartedAfter = std::chrono::steady_clock::now() - wokeAt;
    const bool lockTakenAgain = LocksBecome({kStreamLock});
    PumpFor(6500ms);
    const std::vector<std::string> lines = StatusLines(testing::internal::GetCapturedStdout());

    EXPECT_TRUE(sleepSignalled && wakeSignalled && secondWakeSignalled);
    EXPECT_TRUE(wokeShown);
    EXPECT_TRUE(lockReleased);
    EXPECT_TRUE(restarted);
    EXPECT_TRUE(lockTakenAgain);
    EXPECT_GE(restartedAfter, 4500ms);
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines[0], kWoke);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(kWoke)), 2)
        << testing::PrintToString(lines);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string("Connecting to RTSP stream...")), 1)
        << testing::PrintToString(lines);
}

TEST_F(PowerWindowTest, WakeJustBeforeTheWindowClosesIsHarmless)
{
    StoreUrl("rtsp://127.0.0.1:9/closing");
    MainFrame* frame = Open();
    ASSERT_TRUE(PumpUntil([&] { return Label(frame).StartsWith("Unable to open stream: "); }));
    ASSERT_TRUE(EmitLogindPrepareForSleep(*systemClient, false));
    ASSERT_TRUE(PumpUntil([&] { return Label(frame) == wxString::FromUTF8(kWoke); }));
    ASSERT_TRUE(CloseAndWait(frame, false));
    // The reconnect thread's five seconds run out after the window has gone.
    PumpFor(6s);
    EXPECT_TRUE(Locks().empty());
}

}  // namespace
