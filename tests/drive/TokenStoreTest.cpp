// Loading, saving and forgetting the stored authorization.

#include "DriveFixture.h"

#include <poll.h>
#include <unistd.h>

#include <cstdio>

namespace {

std::string LoadLine(const char* refresh, long long expiresIn)
{
    return std::string("[Drive] Tokens loaded — refresh_token: ") + refresh
        + ", client_id: present, access_token expires in " + std::to_string(expiresIn) + " sec\n";
}

}  // namespace

using TokenStore = DriveFixture;

TEST_F(TokenStore, FirstStartIsNotAuthenticated)
{
    StdoutCapture out;
    GoogleDriveUploader& drive = Client();
    EXPECT_EQ(out.Take(), LoadLine("MISSING", -Now()));
    EXPECT_FALSE(drive.IsAuthenticated());
    EXPECT_FALSE(drive.EnsureValidToken());
    EXPECT_EQ(provider.Requests().size(), 0u);
}

TEST_F(TokenStore, StoredRefreshTokenAuthenticatesWithoutConfigurationEntries)
{
    store->Put("1//stored");
    StdoutCapture out;
    GoogleDriveUploader& drive = Client();
    EXPECT_EQ(out.Take(), LoadLine("present", -Now()));
    EXPECT_TRUE(drive.IsAuthenticated());
}

TEST_F(TokenStore, AccessTokenWithoutRefreshTokenIsNotAuthenticated)
{
    config.Set("/GoogleDrive/AccessToken", "ya29.left-over");
    config.Set("/GoogleDrive/TokenExpiry", std::to_string(Now() + 500));
    StdoutCapture out;
    GoogleDriveUploader& drive = Client();
    EXPECT_EQ(out.Take(), LoadLine("MISSING", 500));
    EXPECT_FALSE(drive.IsAuthenticated());
}

TEST_F(TokenStore, EmptySecretIsNotAuthenticated)
{
    store->Put("");
    EXPECT_FALSE(Client().IsAuthenticated());
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

    std::string access, expiry;
    ASSERT_TRUE(config.ReadFromDisk("/GoogleDrive/AccessToken", access));
    ASSERT_TRUE(config.ReadFromDisk("/GoogleDrive/TokenExpiry", expiry));
    EXPECT_EQ(access.rfind("ya29.fake-access-", 0), 0u);
    EXPECT_EQ(expiry, std::to_string(Now() + 3599));

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
    EXPECT_FALSE(store->Has());
    std::string value;
    EXPECT_FALSE(config.ReadFromDisk("/GoogleDrive/AccessToken", value));
    EXPECT_FALSE(config.ReadFromDisk("/GoogleDrive/TokenExpiry", value));
    EXPECT_TRUE(config.GroupExistsOnDisk("/GoogleDrive"));
    EXPECT_FALSE(drive.EnsureValidToken());

    drive.Disconnect();
    EXPECT_FALSE(drive.IsAuthenticated());
    EXPECT_TRUE(config.GroupExistsOnDisk("/GoogleDrive"));
    EXPECT_EQ(provider.Requests().size(), 0u);
}

TEST_F(TokenStore, DriveLinesReachAPipeAtOnce)
{
    // Standard output fully buffered into a pipe, as under a service manager:
    // the line must be there without anyone else flushing.
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    std::fflush(stdout);
    const int savedStdout = ::dup(STDOUT_FILENO);
    ::dup2(pipeFds[1], STDOUT_FILENO);
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);

    Client();
    pollfd readable{pipeFds[0], POLLIN, 0};
    std::string received;
    if (::poll(&readable, 1, 2000) > 0) {
        char buffer[512];
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n > 0)
            received.assign(buffer, static_cast<size_t>(n));
    }

    std::fflush(stdout);
    ::dup2(savedStdout, STDOUT_FILENO);
    ::close(savedStdout);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    EXPECT_EQ(received, LoadLine("MISSING", -Now()));
}
