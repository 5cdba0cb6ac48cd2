// The provider fails while motion keeps the window uploading: the token
// endpoint hangs, goes away or rejects the refresh token; Drive answers 500
// for about a minute. The window stays responsive and truthful, keeps what it
// must keep, and picks up again when the provider does.

#include "FakeProvider.h"
#include "FaultFixture.h"
#include "TestCamera.h"

#include <ctime>

namespace {

using Endpoint = FakeProvider::Endpoint;

const char kUploading[] = "[Status] Uploading to Google Drive: ";
const char kNotAuthenticated[] = "[Status] Not authenticated with Google Drive";
const char kUploaded[] = "[Status] Frame uploaded to Google Drive";
const char kUploadFailed[] = "[Status] Google Drive upload failed";

FakeProvider::Answer Hang()
{
    FakeProvider::Answer answer;
    answer.hang = true;
    return answer;
}

std::string Epoch(int64_t offsetSec)
{
    return std::to_string(static_cast<int64_t>(std::time(nullptr)) + offsetSec);
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// Motion from the camera uploads a frame about once a second; the refresh
// token lives in the real Secret Service.
class DriveFaultTest : public FaultTest {
protected:
    void SetUp() override
    {
        FaultTest::SetUp();
        StartKeyring();
        ASSERT_TRUE(camera.Start());
    }

    // Stores the refresh token and an access token with its expiry, as an
    // earlier authorization would have left them.
    void Authorized(const std::string& refreshToken, const std::string& accessToken,
                    const std::string& expiry)
    {
        ASSERT_TRUE(StoreRefreshToken(refreshToken));
        WriteConfig({{"/Stream/RtspUrl", camera.Url()},
                     {"/Analytics/ClientId", "c0ffee.42"},
                     {"/GoogleDrive/AccessToken", accessToken},
                     {"/GoogleDrive/TokenExpiry", expiry}});
    }

    std::vector<std::string> Arguments(const FakeProvider& provider)
    {
        std::vector<std::string> arguments = ProviderArguments(provider);
        // Each refresh attempt waits 1.5 s for an answer instead of 15 s.
        arguments.push_back("--request-timeout-ms=1500");
        arguments.push_back("--retry-pause-ms=300");
        return arguments;
    }

    TestCamera camera;
};

TEST_F(DriveFaultTest, HangingTokenEndpointFailsThatUploadKeepsTheRefreshTokenAndLaterUploadsResume)
{
    FakeProvider provider;
    const std::string refreshToken = provider.AddRefreshToken();
    provider.AddFolder("Orvanta");
    Authorized(refreshToken, "ya29.expired-long-ago", Epoch(-600));
    // The first refresh gets no answer to any of its three requests.
    for (int i = 0; i < 3; ++i) {
        provider.Script(Endpoint::Token, Hang());
    }

    std::unique_ptr<HarnessProcess> harness = LaunchAndWait(Arguments(provider));
    ASSERT_TRUE(harness);
    EXPECT_NE(harness->WaitForLine("[Drive] Tokens loaded — refresh_token: present", 5s), kNoLine);
    const size_t uploading = harness->WaitForLine(kUploading, 30s);
    ASSERT_NE(uploading, kNoLine) << Transcript(*harness);
    const Clock::time_point hangingFrom = Clock::now();
    const size_t gaveUp = harness->WaitForLine("[Drive] Token refresh failed", 30s, uploading);
    const size_t notAuthenticated = harness->WaitForLine(kNotAuthenticated, 10s, uploading);
    // Frames kept coming meanwhile; the next refresh is answered.
    const size_t refreshed = harness->WaitForLine("[Drive] Token refreshed successfully", 30s, uploading);
    const size_t uploaded = harness->WaitForLine(kUploaded, 30s, uploading);
    const Clock::time_point watchedUntil = Clock::now();

    ASSERT_NE(gaveUp, kNoLine) << Transcript(*harness);
    EXPECT_NE(notAuthenticated, kNoLine) << Transcript(*harness);
    EXPECT_EQ(CountLines(*harness, "[Drive] Token refresh attempt ", uploading), 3u) << Transcript(*harness);
    EXPECT_EQ(CountLines(*harness, "[Drive] Token refresh attempt 3/3 failed: (no response)", uploading), 1u);
    ASSERT_NE(refreshed, kNoLine) << Transcript(*harness);
    EXPECT_GT(refreshed, gaveUp);
    EXPECT_NE(uploaded, kNoLine) << Transcript(*harness);
    ExpectResponsive(*harness, hangingFrom, watchedUntil);
    CloseAndExpectCleanExit(*harness);

    EXPECT_EQ(StoredRefreshToken(), refreshToken);
    std::string accessToken;
    std::string expiry;
    EXPECT_TRUE(ReadConfig("/GoogleDrive/AccessToken", accessToken));
    EXPECT_TRUE(ReadConfig("/GoogleDrive/TokenExpiry", expiry));
    EXPECT_EQ(accessToken.rfind("ya29.fake-access-", 0), 0u) << accessToken;
    EXPECT_GT(std::stoll(expiry), static_cast<long long>(std::time(nullptr)));
}

TEST_F(DriveFaultTest, TokenEndpointGoneDuringARefreshFailsUploadsAndKeepsTheStoredAuthorization)
{
    auto provider = std::make_unique<FakeProvider>();
    const std::string refreshToken = provider->AddRefreshToken();
    const std::string expiry = Epoch(-600);
    Authorized(refreshToken, "ya29.expired-long-ago", expiry);
    provider->Script(Endpoint::Token, Hang());

    std::unique_ptr<HarnessProcess> harness = LaunchAndWait(Arguments(*provider));
    ASSERT_TRUE(harness);
    // The provider goes away while the first refresh waits for its answer.
    const Clock::time_point deadline = Clock::now() + 30s;
    while (provider->Count(Endpoint::Token) == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(provider->Count(Endpoint::Token), 1u) << Transcript(*harness);
    const Clock::time_point goneFrom = Clock::now();
    const size_t before = harness->LineCount();
    provider.reset();

    const size_t gaveUp = harness->WaitForLine("[Drive] Token refresh failed", 20s, before);
    ASSERT_NE(gaveUp, kNoLine) << Transcript(*harness);
    const size_t notAuthenticated = harness->WaitForLine(kNotAuthenticated, 10s, before);
    // Later uploads try again, and fail the same way.
    const size_t again = harness->WaitForLine("[Drive] Token refresh failed", 20s, gaveUp + 1);
    const Clock::time_point watchedUntil = Clock::now();

    EXPECT_NE(notAuthenticated, kNoLine) << Transcript(*harness);
    EXPECT_NE(again, kNoLine) << Transcript(*harness);
    EXPECT_EQ(CountLines(*harness, "[Drive] Refresh token is invalid"), 0u);
    EXPECT_EQ(CountLines(*harness, kUploaded), 0u);
    ExpectResponsive(*harness, goneFrom, watchedUntil);
    RecordProperty("status_line", StatusTexts(harness->Lines()).back());
    CloseAndExpectCleanExit(*harness);

    // Nothing was forgotten: the next start is still authorized.
    EXPECT_EQ(StoredRefreshToken(), refreshToken);
    std::string storedExpiry;
    EXPECT_TRUE(ReadConfig("/GoogleDrive/TokenExpiry", storedExpiry));
    EXPECT_EQ(storedExpiry, expiry);
}

TEST_F(DriveFaultTest, RejectedRefreshTokenIsForgottenEverywhereAndUploadsStop)
{
    FakeProvider provider;
    // Revoked: the provider does not know it and answers invalid_grant.
    Authorized("1//revoked-by-the-user", "ya29.expired-long-ago", Epoch(-600));

    std::unique_ptr<HarnessProcess> harness = LaunchAndWait(Arguments(provider));
    ASSERT_TRUE(harness);
    const size_t invalid = harness->WaitForLine("[Drive] Refresh token is invalid — re-authentication required", 30s);
    const size_t notAuthenticated = harness->WaitForLine(kNotAuthenticated, 10s);
    ASSERT_NE(invalid, kNoLine) << Transcript(*harness);
    EXPECT_NE(notAuthenticated, kNoLine) << Transcript(*harness);
    // Motion goes on, but without an authorization nothing more is uploaded.
    std::this_thread::sleep_for(3s);
    const size_t uploadsAtRejection = CountLines(*harness, kUploading);
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(CountLines(*harness, kUploading), uploadsAtRejection) << Transcript(*harness);
    EXPECT_EQ(provider.Count(Endpoint::Upload), 0u);
    CloseAndExpectCleanExit(*harness);

    EXPECT_EQ(StoredRefreshToken(), "");
    std::string value;
    EXPECT_FALSE(ReadConfig("/GoogleDrive/AccessToken", value)) << value;
    EXPECT_FALSE(ReadConfig("/GoogleDrive/TokenExpiry", value)) << value;
    EXPECT_TRUE(ConfigIsWellFormed());
}

TEST_F(DriveFaultTest, DriveFailingForAMinuteThenRecoveringUploadsIntoTheSameSingleFolder)
{
    FakeProvider provider;
    const std::string refreshToken = provider.AddRefreshToken();
    const std::string accessToken = provider.AddAccessToken();
    const std::string folder = provider.AddFolder("Orvanta");
    Authorized(refreshToken, accessToken, Epoch(3000));

    std::unique_ptr<HarnessProcess> harness = LaunchAndWait(ProviderArguments(provider));
    ASSERT_TRUE(harness);
    const std::string okInFolder = " — OK (folderId=" + folder + ")";
    const auto uploadedInFolder = [&okInFolder](const std::string& line) {
        return line.rfind("[Drive] motion_", 0) == 0 && Contains(line, okInFolder);
    };
    const size_t firstOk = harness->WaitForLine(uploadedInFolder, 30s);
    ASSERT_NE(firstOk, kNoLine) << Transcript(*harness);

    // Every Drive request fails for as many uploads as about a minute of
    // motion starts. Folder creation fails for longer, so that no request
    // order can create a second folder while the search still fails.
    constexpr int kFailingUploads = 55;
    const FakeProvider::Answer serverError{
        500, "{\n  \"error\": {\n    \"code\": 500,\n    \"message\": \"Internal Error\"\n  }\n}\n"};
    for (int i = 0; i < kFailingUploads + 30; ++i) {
        provider.Script(Endpoint::Create, serverError);
        if (i < kFailingUploads) {
            provider.Script(Endpoint::Upload, serverError);
        }
        if (i < kFailingUploads - 1) {
            provider.Script(Endpoint::Search, serverError);
        }
    }
    const size_t outageFrom = harness->LineCount();
    const Clock::time_point outageStart = Clock::now();
    const size_t firstFailure = harness->WaitForLine(
        [](const std::string& line) { return line.rfind("[Drive] motion_", 0) == 0 && Contains(line, " — FAILED"); },
        30s, outageFrom);
    ASSERT_NE(firstFailure, kNoLine) << Transcript(*harness);
    const size_t recovered = harness->WaitForLine(uploadedInFolder, 150s, firstFailure);
    ASSERT_NE(recovered, kNoLine) << Transcript(*harness);
    const Clock::time_point outageEnd = harness->Lines()[recovered].at;
    const size_t searchesAtRecovery = provider.Count(Endpoint::Search);
    size_t later = recovered;
    for (int i = 0; i < 3 && later != kNoLine; ++i) {
        later = harness->WaitForLine(uploadedInFolder, 20s, later + 1);
    }
    ASSERT_NE(later, kNoLine) << Transcript(*harness);
    const Clock::time_point watchedUntil = Clock::now();

    // What the user saw: failures while Drive failed, successes after.
    EXPECT_GE(CountLines(*harness, kUploadFailed, outageFrom), static_cast<size_t>(kFailingUploads))
        << Transcript(*harness);
    EXPECT_GE(CountLines(*harness, kUploaded, recovered), 3u);
    // The failed upload into the cached folder cleared the cache, searches
    // during the outage failed, and after it one search found the folder again.
    EXPECT_GE(CountLines(*harness, "[Drive] motion_", outageFrom), static_cast<size_t>(kFailingUploads));
    EXPECT_EQ(provider.Count(Endpoint::Search), searchesAtRecovery)
        << "the folder found after the outage is cached";
    for (const UploadedFile& file : provider.Files()) {
        EXPECT_EQ(file.parents, std::vector<std::string>{folder}) << file.name;
    }
    ExpectResponsive(*harness, outageStart, watchedUntil);
    RecordProperty("outage_seconds", static_cast<int>(
        std::chrono::duration_cast<std::chrono::seconds>(outageEnd - outageStart).count()));
    CloseAndExpectCleanExit(*harness);

    // No second "Orvanta" folder: every creation met a scripted failure.
    EXPECT_LE(provider.Count(Endpoint::Create), static_cast<size_t>(kFailingUploads + 30));
}

}  // namespace
