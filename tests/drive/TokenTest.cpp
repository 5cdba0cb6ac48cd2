#include "DriveTestFixture.h"

TEST_F(DriveTest, CodeExchangeOutcomes)
{
    const struct { const char* script; const char* body; bool ok; } cases[] = {  // token endpoint's answer
        {"refused", "", false},  // nothing listens
        {"", "", false},  // the provider does not know the code: invalid_grant
        {"action=hang", "", false},
        {"action=close", "", false},
        {"action=status&status=500", R"({"error":{"code":500}})", false},
        {"action=status&status=200", "<html>not JSON</html>", false},
        {"action=status&status=200", R"({"access_token":"a","expires_in":3600})", false},
        {"action=status&status=200", R"({"access_token":"a","refresh_token":"r","expires_in":"soon"})", true},
        {"action=status&status=200", R"({"access_token":"a","refresh_token":"r","expires_in":99999999999999999999})", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.script) + " " + c.body);
        DriveClientOptions options = Options();
        if (std::string(c.script) == "refused")
            options.endpoints.tokenUrl = "http://127.0.0.1:9/token";
        else if (*c.script)
            Script("token", c.script + std::string("&body=") + UrlEncode(c.body));
        DriveSession& drive = StartSession(options);
        EXPECT_EQ(drive.ExchangeCodeForTokens("4/code", "http://127.0.0.1:1/oauth2callback", "verifier", drive.Credentials()), c.ok);
        EXPECT_EQ(drive.IsAuthenticated(), c.ok);
        EXPECT_EQ(store->Item(), c.ok ? "r" : "");
        EXPECT_EQ(Entry("/GoogleDrive/ClientId"), c.ok ? "test-client-id" : "(absent)");
        drive.SaveTokens();  // an unreadable lifetime counts as the usual hour
        EXPECT_EQ(Entry("/GoogleDrive/TokenExpiry"), std::to_string(kNow + 3600));
        drive.Disconnect();
    }
}

TEST_F(DriveTest, RefreshOutcomes)
{
    // What is stored, the token endpoint's script, the outcome, the requests made, authenticated afterwards.
    const struct { const char* name; bool refreshToken, accessToken; const char *expiry, *script; bool ok;
                   int requests; bool authenticatedAfter; } cases[] = {
        {"61 s left", true, true, "1700000061", "", true, 0, true},
        {"60 s left", true, true, "1700000060", "", true, 1, true},
        {"no expiry", true, true, "", "", true, 1, true},
        {"unreadable expiry", true, true, "soon", "", true, 1, true},
        {"no access token", true, false, "1800000000", "", true, 1, true},
        {"no refresh token", false, true, "1800000000", "", false, 0, false},
        {"fails twice", true, true, "0", "action=status&status=503&times=2", true, 3, true},
        {"fails every time", true, true, "0", "action=close&times=3", false, 3, true},
        {"rejected", true, true, "0", "action=invalid_grant&times=3", false, 1, false},
        {"client not allowed", true, true, "0", "action=status&status=400&times=3&body=%7B%22error%22%3A%22unauthorized_client%22%7D",
         false, 1, false},
        {"other error", true, true, "0", "action=status&status=400&times=3&body=%7B%22error%22%3A%22invalid_grant2%22%7D",
         false, 3, true},
        {"unreadable lifetime", true, true, "0",
         "action=status&status=200&body=%7B%22access_token%22%3A%22n%22%2C%22expires_in%22%3A%22x%22%7D", true, 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        provider.Post("/control/reset");
        Stored(c.refreshToken, c.expiry, c.accessToken);
        Script("token", c.script);
        DriveSession& drive = StartSession(Options());
        EXPECT_EQ(drive.EnsureValidToken(kNeverCancelled), c.ok);
        EXPECT_EQ(Count("token"), c.requests);
        EXPECT_EQ(drive.IsAuthenticated(), c.authenticatedAfter);
        if (c.ok && c.requests > 0) {
            EXPECT_EQ(Entry("/GoogleDrive/TokenExpiry"), std::to_string(kNow + 3600));
        } else if (c.refreshToken && !c.authenticatedAfter) {
            EXPECT_EQ(store->Item() + Entry("/GoogleDrive/AccessToken"), "(absent)");
        }
    }
}

TEST_F(DriveTest, ThreadsWaitingForAFailedRefreshShareItsOutcome)
{
    Stored(true, "0");
    Script("token", "action=hang");  // holds the first refresh while the others queue behind it
    Script("token", "action=status&status=503&times=20");
    DriveSession& drive = StartSession(Options());
    std::vector<std::future<bool>> results;
    for (int i = 0; i < 4; ++i) {
        results.push_back(std::async(std::launch::async, [&drive] { return drive.EnsureValidToken(kNeverCancelled); }));
        ASSERT_TRUE(WaitUntil([&] { return Count("token") == 1; }));
    }
    for (auto& result : results)
        EXPECT_EQ(Outcome(result, 30s), 0);
    EXPECT_EQ(Count("token"), 3);  // one refresh's attempts, not one refresh per waiting thread
}
