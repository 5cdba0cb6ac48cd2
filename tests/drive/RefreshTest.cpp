// Access-token refresh: the validity margin, retries with pauses, the
// rejected refresh token, and concurrent callers.

#include "DriveFixture.h"

namespace {

const FakeProvider::Endpoint kToken = FakeProvider::Endpoint::Token;

FakeProvider::Answer Error(int status, const std::string& error)
{
    return {status, "{\n  \"error\": \"" + error + "\",\n  \"error_description\": \"x\"\n}"};
}

// How many of `callers` threads, all asking at once, get a usable token.
int UsableForConcurrentCallers(GoogleDriveUploader& drive, int callers)
{
    std::vector<std::thread> threads;
    std::atomic<int> usable{0};
    for (int i = 0; i < callers; ++i)
        threads.emplace_back([&] { usable += drive.EnsureValidToken() ? 1 : 0; });
    for (std::thread& t : threads)
        t.join();
    return usable;
}

}  // namespace

using Refresh = DriveFixture;

TEST_F(Refresh, UsesTheTokenWhileMoreThanAMinuteIsLeft)
{
    StoreAuthorization(Now() + 61);
    GoogleDriveUploader& drive = Client();
    EXPECT_TRUE(drive.EnsureValidToken());
    EXPECT_EQ(provider.Count(kToken), 0u);

    clock->now += 1;  // exactly 60 seconds left
    StdoutCapture out;
    EXPECT_TRUE(drive.EnsureValidToken());
    EXPECT_EQ(out.Take(), "[Drive] Token refreshed successfully\n");
    ASSERT_EQ(provider.Count(kToken), 1u);

    const auto form = ParseForm(provider.Requests(kToken)[0].body);
    EXPECT_EQ(FieldNames(form),
              (std::vector<std::string>{"refresh_token", "client_id", "client_secret", "grant_type"}));
    EXPECT_EQ(FormValue(form, "refresh_token"), refreshToken);
    EXPECT_EQ(FormValue(form, "client_secret"), FakeProvider::kClientSecret);
    EXPECT_EQ(FormValue(form, "grant_type"), "refresh_token");

    // The new token is good for another hour less the margin.
    clock->now += 3599 - 61;
    EXPECT_TRUE(drive.EnsureValidToken());
    EXPECT_EQ(provider.Count(kToken), 1u);
}

TEST_F(Refresh, RefreshesWhenNothingUsableIsHeld)
{
    // No stored expiry.
    StoreAuthorization(0);
    EXPECT_TRUE(Client().EnsureValidToken());
    EXPECT_EQ(provider.Count(kToken), 1u);

    // No access token, however far its expiry lies.
    config.Set("/GoogleDrive/AccessToken", "");
    config.Set("/GoogleDrive/TokenExpiry", std::to_string(Now() + 100000));
    EXPECT_TRUE(Client().EnsureValidToken());
    EXPECT_EQ(provider.Count(kToken), 2u);
}

TEST_F(Refresh, RetriesAfterPausesUntilATokenComes)
{
    StoreAuthorization(0);
    provider.Script(kToken, {500, "<html><body>Server Error</body></html>", "text/html"});
    provider.Script(kToken, Error(503, "temporarily_unavailable"));
    GoogleDriveUploader& drive = Client();
    StdoutCapture out;
    EXPECT_TRUE(drive.EnsureValidToken());
    EXPECT_EQ(out.Take(),
              "[Drive] Token refresh attempt 1/3 failed: (no response)\n"
              "[Drive] Token refresh attempt 2/3 failed: temporarily_unavailable\n"
              "[Drive] Token refreshed successfully\n");
    EXPECT_EQ(provider.Count(kToken), 3u);
    EXPECT_EQ(pauses->pauses, (std::vector<std::chrono::milliseconds>{std::chrono::seconds(3),
                                                                      std::chrono::seconds(3)}));
    EXPECT_EQ(pauses->requestsBefore, (std::vector<size_t>{1, 2}));
    // Every attempt sends the same body.
    const auto requests = provider.Requests(kToken);
    EXPECT_EQ(requests[0].body, requests[2].body);
}

TEST_F(Refresh, ThreeFailuresKeepTheAuthorization)
{
    StoreAuthorization(Now() + 10);
    provider.Script(kToken, Error(401, "invalid_client"));
    provider.Script(kToken, Error(400, "invalid_grant_type"));
    provider.Script(kToken, Error(400, "Invalid_Grant"));
    GoogleDriveUploader& drive = Client();
    StdoutCapture out;
    EXPECT_FALSE(drive.EnsureValidToken());
    EXPECT_EQ(out.Take(),
              "[Drive] Token refresh attempt 1/3 failed: invalid_client\n"
              "[Drive] Token refresh attempt 2/3 failed: invalid_grant_type\n"
              "[Drive] Token refresh attempt 3/3 failed: Invalid_Grant\n"
              "[Drive] Token refresh failed\n");
    EXPECT_EQ(pauses->pauses.size(), 2u);
    EXPECT_TRUE(drive.IsAuthenticated());
    EXPECT_EQ(store->Secret(), refreshToken);
    EXPECT_EQ(OnDisk("/GoogleDrive/TokenExpiry"), std::to_string(Now() + 10));
}

TEST_F(Refresh, SilentEndpointIsBoundedByTheRequestTimeout)
{
    StoreAuthorization(0);
    for (int i = 0; i < 3; ++i)
        provider.Script(kToken, {200, "", "text/plain", {}, true});
    DriveClientOptions options = Options();
    options.timings.requestTimeout = std::chrono::milliseconds(300);
    GoogleDriveUploader& drive = Client(options);
    StdoutCapture out;
    EXPECT_FALSE(drive.EnsureValidToken());
    EXPECT_EQ(out.Take(),
              "[Drive] Token refresh attempt 1/3 failed: (no response)\n"
              "[Drive] Token refresh attempt 2/3 failed: (no response)\n"
              "[Drive] Token refresh attempt 3/3 failed: (no response)\n"
              "[Drive] Token refresh failed\n");
    EXPECT_EQ(provider.Count(kToken), 3u);
    EXPECT_TRUE(drive.IsAuthenticated());
}

TEST_F(Refresh, RejectedRefreshTokenIsForgottenEverywhere)
{
    StoreAuthorization(0);
    GoogleDriveUploader& drive = Client();
    provider.Script(kToken, Error(400, "invalid_grant"));
    StdoutCapture out;
    EXPECT_FALSE(drive.EnsureValidToken());
    EXPECT_EQ(out.Take(),
              "[Drive] Token refresh attempt 1/3 failed: invalid_grant\n"
              "[Drive] Refresh token is invalid — re-authentication required\n"
              "[Drive] Token refresh failed\n");
    EXPECT_EQ(provider.Count(kToken), 1u);
    EXPECT_TRUE(pauses->pauses.empty());
    EXPECT_FALSE(drive.IsAuthenticated());
    ExpectNothingStored();
    EXPECT_TRUE(config.GroupExistsOnDisk("/GoogleDrive"));

    // Nothing is asked of the provider afterwards.
    EXPECT_FALSE(drive.EnsureValidToken());
    EXPECT_FALSE(drive.RefreshAccessToken());
    EXPECT_EQ(provider.Count(kToken), 1u);
}

TEST_F(Refresh, NewTokenWithoutOrWithOddLifetimeLastsAnHour)
{
    StoreAuthorization(0);
    GoogleDriveUploader& drive = Client();
    for (const char* expiresIn : {"", ", \"expires_in\": \"soon\"", ", \"expires_in\": 99999999999",
                                  ", \"expires_in\": null"}) {
        SCOPED_TRACE(expiresIn);
        provider.Script(kToken, {200, std::string("{\"access_token\": \"ya29.n\", \"refresh_token\": \"1//other\"")
                                          + expiresIn + "}"});
        ASSERT_TRUE(drive.EnsureValidToken());
        EXPECT_EQ(OnDisk("/GoogleDrive/AccessToken"), "ya29.n");
        EXPECT_EQ(OnDisk("/GoogleDrive/TokenExpiry"), std::to_string(Now() + 3600));
        // A refresh token in the response does not replace the stored one.
        EXPECT_EQ(store->Secret(), refreshToken);
        clock->now += 3600 - 60;
    }
    ASSERT_EQ(provider.Count(kToken), 4u);
    EXPECT_EQ(FormValue(ParseForm(provider.Requests(kToken)[3].body), "refresh_token"), refreshToken);
}

TEST_F(Refresh, ConcurrentCallersShareOneRefresh)
{
    StoreAuthorization(0);
    FakeProvider::Answer slow;
    slow.ownAnswer = true;
    slow.delay = std::chrono::milliseconds(300);
    provider.Script(kToken, slow);
    GoogleDriveUploader& drive = Client();

    EXPECT_EQ(UsableForConcurrentCallers(drive, 4), 4);
    EXPECT_EQ(provider.Count(kToken), 1u);
}

TEST_F(Refresh, CallersWaitingOnARejectedRefreshAskNothing)
{
    StoreAuthorization(0);
    FakeProvider::Answer slowRejection = Error(400, "invalid_grant");
    slowRejection.delay = std::chrono::milliseconds(300);
    provider.Script(kToken, slowRejection);
    GoogleDriveUploader& drive = Client();

    EXPECT_EQ(UsableForConcurrentCallers(drive, 3), 0);
    EXPECT_EQ(provider.Count(kToken), 1u);
    EXPECT_FALSE(drive.IsAuthenticated());
}

// While the provider is down, uploads keep arriving once a second and each
// waits for the refresh in progress; if each then made its own three
// attempts, waiting threads would pile up for as long as the outage lasts.
TEST_F(Refresh, CallersWaitingOnAFailedRefreshShareItsFailure)
{
    StoreAuthorization(0);
    for (int attempt = 0; attempt < 3; ++attempt) {
        FakeProvider::Answer slowFailure = Error(503, "temporarily_unavailable");
        slowFailure.delay = std::chrono::milliseconds(150);
        provider.Script(kToken, slowFailure);
    }
    GoogleDriveUploader& drive = Client();

    EXPECT_EQ(UsableForConcurrentCallers(drive, 4), 0);
    EXPECT_EQ(provider.Count(kToken), 3u) << "one refresh of three attempts, not one per caller";
    EXPECT_TRUE(drive.IsAuthenticated());

    // A later upload, after the outage, tries again and succeeds.
    EXPECT_TRUE(drive.EnsureValidToken());
    EXPECT_EQ(provider.Count(kToken), 4u);
}

TEST_F(Refresh, DestructionCutsTheRetryPauseShort)
{
    StoreAuthorization(0);
    provider.Script(kToken, Error(503, "backendError"));
    DriveClientOptions options = Options();
    options.pause = nullptr;  // the client's own pause
    options.timings.retryPause = std::chrono::minutes(10);
    CompletionProbe done;
    Client(options).UploadRgbFrame(RedBlueFrame(8, 8), 8, 8, "motion_x.jpg", done.Callback());
    while (provider.Count(kToken) == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    client.reset();
    ASSERT_TRUE(done.Wait(std::chrono::seconds(10)));
    EXPECT_EQ(done.message(), "Not authenticated with Google Drive");
    EXPECT_EQ(provider.Count(kToken), 1u);
}
