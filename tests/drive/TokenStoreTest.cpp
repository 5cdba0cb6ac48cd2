// Loading, saving and forgetting the stored authorization.

#include "DriveFixture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

std::string LoadLine(const char* refresh, long long expiresIn)
{
    return std::string("[Drive] Tokens loaded — refresh_token: ") + refresh
        + ", client_id: present, access_token expires in " + std::to_string(expiresIn) + " sec\n";
}

}  // namespace

using TokenStore = DriveFixture;

// Only a stored refresh token makes the client authenticated, whatever the
// configuration holds; nothing is asked of the provider at load.
TEST_F(TokenStore, AuthenticatedExactlyWhenARefreshTokenIsStored)
{
    struct Case {
        const char* secret;  // null: no item
        const char* accessToken;
        int64_t expiresIn;  // from now; 0: no entry
        const char* shown;
        bool authenticated;
    };
    for (const Case& c : std::vector<Case>{
             {nullptr, nullptr, 0, "MISSING", false},
             {"1//stored", nullptr, 0, "present", true},
             {"", nullptr, 0, "MISSING", false},
             {nullptr, "ya29.left-over", 500, "MISSING", false},
         }) {
        SCOPED_TRACE(std::string(c.shown) + (c.accessToken ? " with access token" : ""));
        auto secrets = std::make_shared<MemorySecureStore>();
        if (c.secret)
            secrets->Put(c.secret);
        if (c.accessToken) {
            config.Set("/GoogleDrive/AccessToken", c.accessToken);
            config.Set("/GoogleDrive/TokenExpiry", std::to_string(Now() + c.expiresIn));
        }
        DriveClientOptions options = Options();
        options.secureStore = secrets;
        StdoutCapture out;
        GoogleDriveUploader drive(options);
        EXPECT_EQ(out.Take(), LoadLine(c.shown, c.accessToken ? c.expiresIn : -Now()));
        EXPECT_EQ(drive.IsAuthenticated(), c.authenticated);
        if (!c.authenticated) {
            EXPECT_FALSE(drive.EnsureValidToken());
        }
    }
    EXPECT_EQ(provider.Requests().size(), 0u);
}

TEST_F(TokenStore, ExpiryTextIsReadLikeANumberPrefix)
{
    clock->now = 0;
    const std::vector<std::pair<std::string, long long>> cases = {
        {"  42abc", 42},
        {"-7", -7},
        {"+13", 13},
        {"", 0},
        // Not a number, or out of range: no expiry rather than a crash.
        {"soon", 0},
        {"-", 0},
        {"99999999999999999999999", 0},
        {"-99999999999999999999999", 0},
    };
    for (const auto& [text, expected] : cases) {
        config.Set("/GoogleDrive/TokenExpiry", text);
        StdoutCapture out;
        GoogleDriveUploader drive(Options());
        EXPECT_EQ(out.Take(), LoadLine("MISSING", expected)) << "stored text: '" << text << "'";
    }
}

TEST_F(TokenStore, SaveTokensWritesAccessTokenAndExpiryToDisk)
{
    StoreAuthorization(Now() + 30);
    GoogleDriveUploader& drive = Client();
    ASSERT_TRUE(drive.EnsureValidToken());  // refreshes and saves

    EXPECT_EQ(OnDisk("/GoogleDrive/AccessToken").rfind("ya29.fake-access-", 0), 0u);
    EXPECT_EQ(OnDisk("/GoogleDrive/TokenExpiry"), std::to_string(Now() + 3599));

    // A new client finds what was saved.
    StdoutCapture out;
    GoogleDriveUploader again(Options());
    EXPECT_EQ(out.Take(), LoadLine("present", 3599));
}

TEST_F(TokenStore, DisconnectForgetsEverythingAndMayBeRepeated)
{
    StoreAuthorization(Now() + 1000);
    GoogleDriveUploader& drive = Client();
    ASSERT_TRUE(drive.IsAuthenticated());

    drive.Disconnect();
    EXPECT_FALSE(drive.IsAuthenticated());
    ExpectNothingStored();
    EXPECT_TRUE(config.GroupExistsOnDisk("/GoogleDrive"));
    EXPECT_FALSE(drive.EnsureValidToken());

    drive.Disconnect();
    EXPECT_FALSE(drive.IsAuthenticated());
    EXPECT_TRUE(config.GroupExistsOnDisk("/GoogleDrive"));
    EXPECT_EQ(provider.Requests().size(), 0u);
}

TEST_F(TokenStore, DriveLinesReachAPipeAtOnce)
{
    // Standard output fully buffered into a pipe, as under a service manager,
    // and left without a flush: only a line flushed when written gets out.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::fflush(stdout);
            ::dup2(STDERR_FILENO, STDOUT_FILENO);
            std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
            Client();
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "Tokens loaded .* refresh_token: MISSING, client_id: present");
}
