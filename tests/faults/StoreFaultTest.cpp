// The stores fail under the program: the Secret Service dies, the
// configuration file cannot be written, the program is killed while saving
// tokens. Nothing crashes, and what is on disk stays whole.

#include "FakeProvider.h"
#include "FaultFixture.h"
#include "TestCamera.h"

#include <signal.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>

namespace {

using Endpoint = FakeProvider::Endpoint;

class StoreFaultTest : public FaultTest {};

TEST_F(StoreFaultTest, SecretServiceKilledUnderTheProgramMakesTheNextAuthorizationFailCleanly)
{
    StartKeyring();
    FakeProvider provider;
    std::unique_ptr<HarnessProcess> harness = LaunchAndWait(ProviderArguments(provider));
    ASSERT_TRUE(harness);
    EXPECT_NE(harness->WaitForLine("[Drive] Tokens loaded — refresh_token: MISSING", 5s), kNoLine);

    const Clock::time_point killedAt = Clock::now();
    KillKeyring();
    harness->Send("connect");
    const size_t storeFailed = harness->WaitForLine(kStoreFailed, 30s);
    const std::string failure = "Token exchange failed — check client credentials";
    const size_t status = harness->WaitForLine("[Status] " + failure, 10s);
    const size_t box = harness->WaitForLine("[Harness] dialog Drive Error: " + failure, 10s);
    // Forgetting an authorization that the dead store cannot delete either.
    harness->Send("disconnect");
    const size_t disconnected = harness->WaitForLine("[Status] Disconnected from Google Drive.", 10s);
    std::this_thread::sleep_for(1s);
    const Clock::time_point watchedUntil = Clock::now();

    ASSERT_NE(storeFailed, kNoLine) << Transcript(*harness);
    EXPECT_NE(status, kNoLine) << Transcript(*harness);
    EXPECT_NE(box, kNoLine) << Transcript(*harness);
    EXPECT_NE(disconnected, kNoLine) << Transcript(*harness);
    EXPECT_EQ(provider.Count(Endpoint::Token), 1u) << "the tokens were obtained before the store failed";
    EXPECT_EQ(WithPrefix(harness->Lines(), "[Status] Connected to Google Drive").size(), 0u);
    ExpectResponsive(*harness, killedAt, watchedUntil);
    CloseAndExpectCleanExit(*harness);

    std::string value;
    EXPECT_FALSE(ReadConfig("/GoogleDrive/AccessToken", value))
        << "a failed authorization leaves no access token behind";
}

TEST_F(StoreFaultTest, UnwritableConfigurationStillAppliesANewUrlAndLeavesTheFileWhole)
{
    TestCamera first;
    ASSERT_TRUE(first.Start());
    TestCamera second;
    TestCameraOptions small;
    small.width = 160;
    small.height = 120;
    small.scene = "still";
    ASSERT_TRUE(second.Start(small));
    WriteConfig({{"/Stream/RtspUrl", first.Url()}, {"/Analytics/ClientId", "b0b.1"}});

    std::unique_ptr<HarnessProcess> harness = LaunchAndWait({}, true);
    ASSERT_TRUE(harness);
    ASSERT_NE(harness->WaitForLine("[Status] Receiving frames: 320x240", 30s), kNoLine)
        << Transcript(*harness);
    const std::string original = ReadFile(ConfigPath());
    ASSERT_EQ(::chmod(ConfigPath().c_str(), 0400), 0);
    ASSERT_EQ(::chmod(ConfigDirectory().c_str(), 0500), 0);

    const size_t before = harness->LineCount();
    const Clock::time_point changedAt = Clock::now();
    harness->Send("settings " + second.Url());
    const size_t applying = harness->WaitForLine("[Status] Applying new RTSP URL...", 10s, before);
    const size_t streaming =
        harness->WaitForLine("[Status] Streaming 160x120 from " + second.Url(), 20s, before);
    const size_t frames = harness->WaitForLine("[Status] Receiving frames: 160x120", 20s, before);
    // Whatever the toolkit reports about the failed write shows at idle time.
    std::this_thread::sleep_for(1s);
    const Clock::time_point watchedUntil = Clock::now();

    EXPECT_NE(applying, kNoLine) << Transcript(*harness);
    EXPECT_NE(streaming, kNoLine) << Transcript(*harness);
    EXPECT_NE(frames, kNoLine) << Transcript(*harness);
    ExpectResponsive(*harness, changedAt, watchedUntil);
    for (const std::string& dialog : WithPrefix(harness->Lines(), "[Harness] dialog ")) {
        RecordProperty("dialog", dialog);
    }
    CloseAndExpectCleanExit(*harness);

    ::chmod(ConfigDirectory().c_str(), 0700);
    ::chmod(ConfigPath().c_str(), 0600);
    EXPECT_EQ(ReadFile(ConfigPath()), original) << "the file is untouched, not half-written";
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(ConfigDirectory())) {
        ++files;
        EXPECT_EQ(entry.path().filename(), "Orvanta.conf");
    }
    EXPECT_EQ(files, 1u);

    // The next start reads the URL that was last saved.
    std::unique_ptr<HarnessProcess> next = LaunchAndWait({});
    ASSERT_TRUE(next);
    EXPECT_NE(next->WaitForLine("[Status] Streaming 320x240 from " + first.Url(), 20s), kNoLine)
        << Transcript(*next);
    CloseAndExpectCleanExit(*next);
}

// Each round starts the program with an access token that its clock sees as
// expired, lets motion trigger an upload whose refresh saves the new token,
// and kills the program at a different moment around that save.
TEST_F(StoreFaultTest, KilledDuringTokenSavesTheNextStartFindsAWholeStore)
{
    StartKeyring();
    FakeProvider provider;
    const std::string refreshToken = provider.AddRefreshToken();
    provider.AddFolder("Orvanta");
    ASSERT_TRUE(StoreRefreshToken(refreshToken));
    TestCamera camera;
    ASSERT_TRUE(camera.Start());
    WriteConfig({{"/Stream/RtspUrl", camera.Url()},
                 {"/Analytics/ClientId", "d00d.7"},
                 {"/GoogleDrive/AccessToken", "ya29.expired-long-ago"},
                 {"/GoogleDrive/TokenExpiry", std::to_string(std::time(nullptr) - 600)}});

    // The token endpoint answers 200 ms after a request arrives; the save
    // follows at once.
    const std::vector<int> killAfterMs = {0, 120, 190, 200, 205, 210, 220, 260, 400};
    int saved = 0;
    for (size_t round = 0; round <= killAfterMs.size(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::string accessBefore;
        std::string expiryBefore;
        ASSERT_TRUE(ReadConfig("/GoogleDrive/AccessToken", accessBefore));
        ASSERT_TRUE(ReadConfig("/GoogleDrive/TokenExpiry", expiryBefore));
        FakeProvider::Answer slowToken;
        slowToken.ownAnswer = true;
        slowToken.delay = 200ms;
        provider.Script(Endpoint::Token, slowToken);
        const size_t tokenRequests = provider.Count(Endpoint::Token);

        std::vector<std::string> arguments = ProviderArguments(provider);
        // Every round runs an hour and a bit later than the one before.
        arguments.push_back("--clock-offset-s=" + std::to_string(round * 4000));
        std::unique_ptr<HarnessProcess> harness = LaunchAndWait(arguments);
        ASSERT_TRUE(harness);
        ASSERT_NE(harness->WaitForLine("[Drive] Tokens loaded — refresh_token: present", 10s), kNoLine)
            << Transcript(*harness);
        const Clock::time_point deadline = Clock::now() + 30s;
        while (provider.Count(Endpoint::Token) == tokenRequests && Clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_GT(provider.Count(Endpoint::Token), tokenRequests) << Transcript(*harness);

        if (round == killAfterMs.size()) {
            // The last start works with whatever the kills left.
            EXPECT_NE(harness->WaitForLine("[Status] Frame uploaded to Google Drive", 20s), kNoLine)
                << Transcript(*harness);
            CloseAndExpectCleanExit(*harness);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs[round]));
        harness->Signal(SIGKILL);
        ASSERT_TRUE(harness->WaitForExit(10s));
        EXPECT_EQ(harness->TermSignal(), SIGKILL);

        EXPECT_TRUE(ConfigIsWellFormed()) << ReadFile(ConfigPath());
        std::string url;
        std::string accessAfter;
        std::string expiryAfter;
        EXPECT_TRUE(ReadConfig("/Stream/RtspUrl", url));
        EXPECT_EQ(url, camera.Url());
        ASSERT_TRUE(ReadConfig("/GoogleDrive/AccessToken", accessAfter));
        ASSERT_TRUE(ReadConfig("/GoogleDrive/TokenExpiry", expiryAfter));
        // The token and its expiry are saved together or not at all.
        EXPECT_EQ(accessAfter == accessBefore, expiryAfter == expiryBefore)
            << accessBefore << " " << expiryBefore << " -> " << accessAfter << " " << expiryAfter;
        if (accessAfter != accessBefore) {
            ++saved;
            EXPECT_EQ(accessAfter.rfind("ya29.fake-access-", 0), 0u);
        }
        EXPECT_EQ(StoredRefreshToken(), refreshToken);
    }
    RecordProperty("rounds_killed_after_the_save", saved);
}

}  // namespace
