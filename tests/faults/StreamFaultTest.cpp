// The camera dies, freezes, and comes back: the window reports the end of
// the stream once, never reconnects on its own, and reconnects after a wake.

#include "FaultFixture.h"
#include "TestCamera.h"

#include <signal.h>

#include <cstdlib>

namespace {

int CameraPort(const std::string& url)
{
    const size_t colon = url.rfind(':');
    return std::atoi(url.c_str() + colon + 1);
}

class StreamFaultTest : public FaultTest {
protected:
    // A window streaming from a fresh camera.
    std::unique_ptr<HarnessProcess> StreamFrom(TestCamera& camera)
    {
        EXPECT_TRUE(camera.Start());
        WriteConfig({{"/Stream/RtspUrl", camera.Url()}, {"/Analytics/ClientId", "5a.17"}});
        std::unique_ptr<HarnessProcess> harness = LaunchAndWait({});
        if (harness && harness->WaitForLine("[Status] Receiving frames: ", 30s) == kNoLine) {
            ADD_FAILURE() << "no frames from the camera:\n" << Transcript(*harness);
        }
        return harness;
    }

    static void Kill(TestCamera& camera)
    {
        ::kill(-camera.Pid(), SIGKILL);
        camera.Stop();
    }
};

TEST_F(StreamFaultTest, KilledCameraEndsTheStreamOnceAndNothingRestartsIt)
{
    TestCamera camera;
    std::unique_ptr<HarnessProcess> harness = StreamFrom(camera);
    ASSERT_TRUE(harness);
    const size_t before = harness->LineCount();
    const Clock::time_point killedAt = Clock::now();
    Kill(camera);

    const size_t stopped = harness->WaitForLine("[Status] Stream read stopped: ", 20s, before);
    ASSERT_NE(stopped, kNoLine) << Transcript(*harness);
    // Long enough for any reconnect attempt to show.
    std::this_thread::sleep_for(4s);
    const Clock::time_point watchedUntil = Clock::now();

    ExpectResponsive(*harness, killedAt, watchedUntil);
    EXPECT_EQ(CountLines(*harness, "[Status] Stream read stopped: "), 1u) << Transcript(*harness);
    EXPECT_EQ(CountLines(*harness, "[Status] Connecting to RTSP stream..."), 1u) << Transcript(*harness);
    const std::vector<std::string> texts = StatusTexts(harness->Lines());
    EXPECT_EQ(texts.back().rfind("Stream read stopped: ", 0), 0u) << "the status line shows " << texts.back();
    RecordProperty("status_line", texts.back());
    CloseAndExpectCleanExit(*harness);
}

TEST_F(StreamFaultTest, FrozenCameraIsGivenUpAfterTheSocketTimeOut)
{
    TestCamera camera;
    std::unique_ptr<HarnessProcess> harness = StreamFrom(camera);
    ASSERT_TRUE(harness);
    const size_t before = harness->LineCount();
    const Clock::time_point frozenAt = Clock::now();
    camera.Pause();

    const size_t stopped = harness->WaitForLine("[Status] Stream read stopped: ", 30s, before);
    camera.Resume();
    ASSERT_NE(stopped, kNoLine) << Transcript(*harness);
    const Clock::duration waited = harness->Lines()[stopped].at - frozenAt;
    // The camera keeps its connection open: only the 5-second socket
    // time-out can end the read, after what the camera had already sent.
    EXPECT_GE(waited, 3s);
    EXPECT_LE(waited, 20s);
    // The camera answers again, yet nothing reconnects by itself.
    std::this_thread::sleep_for(3s);
    const Clock::time_point watchedUntil = Clock::now();

    ExpectResponsive(*harness, frozenAt, watchedUntil);
    EXPECT_EQ(CountLines(*harness, "[Status] Stream read stopped: "), 1u) << Transcript(*harness);
    EXPECT_EQ(CountLines(*harness, "[Status] Connecting to RTSP stream..."), 1u) << Transcript(*harness);
    RecordProperty("status_line", StatusTexts(harness->Lines()).back());
    RecordProperty("seconds_to_give_up",
                   static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(waited).count()));
    CloseAndExpectCleanExit(*harness);
}

TEST_F(StreamFaultTest, CameraBackOnItsPortIsStreamedAgainFiveSecondsAfterAWake)
{
    StartLogind();
    TestCamera camera;
    std::unique_ptr<HarnessProcess> harness = StreamFrom(camera);
    ASSERT_TRUE(harness);
    TestCameraOptions sameCamera;
    sameCamera.port = CameraPort(camera.Url());
    const Clock::time_point killedAt = Clock::now();
    Kill(camera);
    const size_t stopped = harness->WaitForLine("[Status] Stream read stopped: ", 20s);
    ASSERT_NE(stopped, kNoLine) << Transcript(*harness);

    ASSERT_TRUE(camera.Start(sameCamera));
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(CountLines(*harness, "[Status] Connecting to RTSP stream..."), 1u)
        << "reconnected before the wake:\n" << Transcript(*harness);

    ASSERT_TRUE(EmitWake());
    const size_t woke = harness->WaitForLine(std::string("[Status] ") + kWoke, 10s, stopped);
    ASSERT_NE(woke, kNoLine) << Transcript(*harness);
    const size_t connecting = harness->WaitForLine("[Status] Connecting to RTSP stream...", 15s, woke);
    const size_t streaming = harness->WaitForLine("[Status] Streaming 320x240 from " + camera.Url(), 20s, woke);
    const size_t frames = harness->WaitForLine("[Status] Receiving frames: 320x240", 20s, woke);
    const Clock::time_point watchedUntil = Clock::now();

    ASSERT_NE(connecting, kNoLine) << Transcript(*harness);
    const std::vector<OutputLine> lines = harness->Lines();
    EXPECT_GE(lines[connecting].at - lines[woke].at, 4500ms);
    EXPECT_NE(streaming, kNoLine) << Transcript(*harness);
    EXPECT_NE(frames, kNoLine) << Transcript(*harness);
    ExpectResponsive(*harness, killedAt, watchedUntil);
    CloseAndExpectCleanExit(*harness);
}

}  // namespace
