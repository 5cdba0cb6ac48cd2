// The window is closed while something waits: an upload on a Drive that
// never answers, an authorization whose browser never comes back, the five
// seconds after a wake. The process ends within its bounds, cleanly.

#include "DriveTestSupport.h"
#include "FakeProvider.h"
#include "FaultFixture.h"
#include "LoopbackPorts.h"
#include "TestCamera.h"

#include <ctime>

namespace {

using Endpoint = FakeProvider::Endpoint;

// The Drive client's grace for its threads, plus room for the toolkit's
// teardown on a loaded machine; "app_close" is answered at once here.
constexpr Clock::duration kPromptExit = 2s + 5s;

std::vector<std::string> Analytics(const LoopbackHttpServer& collector)
{
    return {"--analytics=" + collector.Url("/mp/collect"), "--analytics-id=G-FAULTS0001",
            "--analytics-secret=fault_tests_only"};
}

std::vector<std::string> Joined(std::vector<std::string> first, const std::vector<std::string>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

long long Milliseconds(Clock::duration duration)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}

class ShutdownFaultTest : public FaultTest {};

TEST_F(ShutdownFaultTest, ClosedDuringUploadsToADriveThatNeverAnswers)
{
    StartKeyring();
    FakeProvider provider;
    const std::string refreshToken = provider.AddRefreshToken();
    const std::string accessToken = provider.AddAccessToken();
    provider.AddFolder("Orvanta");
    FakeProvider::Answer never;
    never.hang = true;
    for (int i = 0; i < 40; ++i) {
        provider.Script(Endpoint::Upload, never);
    }
    ASSERT_TRUE(StoreRefreshToken(refreshToken));
    TestCamera camera;
    ASSERT_TRUE(camera.Start());
    WriteConfig({{"/Stream/RtspUrl", camera.Url()},
                 {"/Analytics/ClientId", "ace.5"},
                 {"/GoogleDrive/AccessToken", accessToken},
                 {"/GoogleDrive/TokenExpiry", std::to_string(std::time(nullptr) + 3000)}});
    LoopbackHttpServer collector(204);

    std::unique_ptr<HarnessProcess> harness =
        LaunchAndWait(Joined(ProviderArguments(provider), Analytics(collector)));
    ASSERT_TRUE(harness);
    EXPECT_NE(harness->WaitForLine("[Analytics] Event 'app_open' sent successfully.", 15s), kNoLine);
    const Clock::time_point uploadsFrom = Clock::now();
    const Clock::time_point deadline = Clock::now() + 30s;
    while (provider.Count(Endpoint::Upload) < 2 && Clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_GE(provider.Count(Endpoint::Upload), 2u) << Transcript(*harness);
    ExpectResponsive(*harness, uploadsFrom, Clock::now());

    const Clock::duration took = CloseAndExpectCleanExit(*harness);
    EXPECT_LT(took, kPromptExit) << Milliseconds(took) << " ms";
    EXPECT_NE(harness->WaitForLine("[Analytics] Event 'app_close' sent successfully.", 1s), kNoLine)
        << Transcript(*harness);
    EXPECT_EQ(provider.Files().size(), 0u);
    RecordProperty("exit_ms", static_cast<int>(Milliseconds(took)));
}

TEST_F(ShutdownFaultTest, ClosedWhileTheAuthorizationWaitsForABrowserThatNeverAnswers)
{
    FakeProvider provider;
    std::unique_ptr<HarnessProcess> harness =
        LaunchAndWait(Joined(ProviderArguments(provider), {"--browser=ignore"}));
    ASSERT_TRUE(harness);
    harness->Send("connect");
    const size_t opened = harness->WaitForLine("[Harness] browser opened", 10s);
    ASSERT_NE(opened, kNoLine) << Transcript(*harness);
    ASSERT_NE(harness->WaitForLine("[Status] Opening browser for Google Drive authentication...", 10s),
              kNoLine);
    std::this_thread::sleep_for(1s);
    ExpectResponsive(*harness, harness->Lines()[opened].at, Clock::now());

    // Drive ▸ Exit takes the same way out as the close box.
    const Clock::duration took = CloseAndExpectCleanExit(*harness, true);
    EXPECT_LT(took, kPromptExit) << Milliseconds(took) << " ms";
    // The abandoned attempt ends with the window, without a late error box.
    EXPECT_EQ(WithPrefix(harness->Lines(), "[Harness] dialog").size(), 0u) << Transcript(*harness);
    EXPECT_EQ(provider.Count(Endpoint::Token), 0u);
    RecordProperty("exit_ms", static_cast<int>(Milliseconds(took)));
}

// The collector never answers, so closing waits the whole 10 seconds for
// "app_close"; meanwhile the wake's five seconds run out.
TEST_F(ShutdownFaultTest, ClosedDuringTheWakeWaitEndsWithinTheAppCloseBoundAndStartsNoStream)
{
    StartLogind();
    ClosedLoopbackPort nobody;
    WriteConfig({{"/Stream/RtspUrl", "rtsp://127.0.0.1:" + std::to_string(nobody.Port()) + "/door"},
                 {"/Analytics/ClientId", "feed.9"}});
    LoopbackHttpServer collector(HttpReply::Silent());
    std::unique_ptr<HarnessProcess> harness = LaunchAndWait(Analytics(collector));
    ASSERT_TRUE(harness);
    ASSERT_NE(harness->WaitForLine("[Status] Unable to open stream: ", 15s), kNoLine)
        << Transcript(*harness);

    ASSERT_TRUE(EmitWake());
    const size_t woke = harness->WaitForLine(std::string("[Status] ") + kWoke, 10s);
    ASSERT_NE(woke, kNoLine) << Transcript(*harness);
    std::this_thread::sleep_for(1s);
    ExpectResponsive(*harness, harness->Lines()[woke].at, Clock::now());

    const Clock::duration took = CloseAndExpectCleanExit(*harness);
    EXPECT_GE(took, 9s) << "app_close is sent before the window goes";
    EXPECT_NE(harness->WaitForLine("[Analytics] Event 'app_close' failed: curl=28", 1s), kNoLine)
        << Transcript(*harness);
    EXPECT_EQ(harness->WaitForLine("[Status] Connecting to RTSP stream...", 0ms, woke), kNoLine)
        << "a stream was started in a closing window:\n" << Transcript(*harness);
    RecordProperty("exit_ms", static_cast<int>(Milliseconds(took)));
}

}  // namespace
