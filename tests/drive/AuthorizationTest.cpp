// The loopback authorization: consent in a played browser, the redirect
// listener, the code exchange and what ends up in the stores.

#include "DriveFixture.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

const char kExchangeFailed[] = "Token exchange failed — check client credentials";
const char kNoCode[] = "No authorization code received";

}  // namespace

class Authorization : public DriveFixture {
protected:
    // Asks the provider's consent page for its redirect, as a browser would
    // before following it; returns the redirect's path and query.
    std::string ConsentRedirect(const std::string& authUrl)
    {
        const HttpGetResult result = HttpGet(authUrl);
        if (result.status != 302)
            return {};
        const std::string location = result.Header("Location");
        return location.substr(location.find('/', location.find("://") + 3));
    }

    static std::string Request(const std::string& target)
    {
        return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/html\r\n\r\n";
    }
};

TEST_F(Authorization, FullAuthorizationThenUploadEndsWithTheFrameInTheFolder)
{
    GoogleDriveUploader& drive = Client();
    const CompletionProbe connected = Connect(drive);
    EXPECT_EQ(connected.message(), "Connected to Google Drive") << provider.LastRefusal();
    EXPECT_TRUE(connected.ok());
    EXPECT_TRUE(drive.IsAuthenticated());
    EXPECT_NE(browser.WaitForPage().find("<h2>Authenticated!</h2>"), std::string::npos);

    // The consent page was asked for with this attempt's redirect, state and challenge.
    const std::string url = browser.WaitForUrl();
    const std::string redirectUri = QueryValue(url, "redirect_uri");
    const int port = UrlPort(redirectUri);
    EXPECT_EQ(redirectUri, "http://127.0.0.1:" + std::to_string(port) + "/oauth2callback");
    EXPECT_EQ(url.rfind(provider.Endpoints().authUrl + "?client_id=" + FormEncode(FakeProvider::kClientId)
                            + "&redirect_uri=" + FormEncode(redirectUri)
                            + "&response_type=code&scope="
                            + FormEncode("https://www.googleapis.com/auth/drive.file")
                            + "&access_type=offline&prompt=consent&state=",
                        0),
              0u)
        << url;
    EXPECT_TRUE(PortRefuses(port));

    // The code exchange names its fields in order and carries the verifier.
    const auto exchanges = provider.Requests(FakeProvider::Endpoint::Token);
    ASSERT_EQ(exchanges.size(), 1u);
    const auto form = ParseForm(exchanges[0].body);
    EXPECT_EQ(FieldNames(form), (std::vector<std::string>{"code", "client_id", "client_secret",
                                                           "redirect_uri", "grant_type", "code_verifier"}));
    EXPECT_EQ(FormValue(form, "grant_type"), "authorization_code");
    EXPECT_EQ(FormValue(form, "redirect_uri"), redirectUri);

    // Refresh token in the secure store; access token and expiry on disk.
    EXPECT_EQ(store->Secret().rfind("1//fake-refresh-", 0), 0u);
    const std::string access = OnDisk("/GoogleDrive/AccessToken");
    EXPECT_EQ(access.rfind("ya29.fake-access-", 0), 0u);
    EXPECT_EQ(OnDisk("/GoogleDrive/TokenExpiry"), std::to_string(Now() + 3599));

    CompletionProbe uploaded;
    drive.UploadRgbFrame(RedBlueFrame(64, 48), 64, 48, "motion_20250101_120000.jpg",
                         uploaded.Callback());
    ASSERT_TRUE(uploaded.Wait());
    EXPECT_EQ(uploaded.message(), "Frame uploaded to Google Drive") << provider.LastRefusal();
    const auto files = provider.Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].name, "motion_20250101_120000.jpg");
    ASSERT_EQ(files[0].parents.size(), 1u);
    EXPECT_EQ(files[0].parents[0].rfind("folder-", 0), 0u);
    EXPECT_EQ(provider.Count(FakeProvider::Endpoint::Token), 1u);
    const RecordedRequest upload = provider.Requests(FakeProvider::Endpoint::Upload)[0];
    EXPECT_EQ(upload.Header("Authorization"), "Bearer " + access);
}

TEST_F(Authorization, DeniedConsentIsNotShownAsSuccess)
{
    provider.SetConsent(false);
    GoogleDriveUploader& drive = Client();
    const CompletionProbe done = Connect(drive);
    EXPECT_FALSE(done.ok());
    EXPECT_EQ(done.message(), kNoCode);
    const std::string page = browser.WaitForPage();
    EXPECT_NE(page.find("Authorization not completed"), std::string::npos);
    EXPECT_EQ(page.find("Authenticated!"), std::string::npos);
    EXPECT_EQ(provider.Count(FakeProvider::Endpoint::Token), 0u);
    EXPECT_FALSE(drive.IsAuthenticated());
    ExpectNothingStored();
}

TEST_F(Authorization, MissingCredentialsFailAtOnceWithoutABrowser)
{
    for (const DriveCredentials& credentials :
         {DriveCredentials{"", "secret"}, DriveCredentials{"id", ""}, DriveCredentials{}}) {
        DriveClientOptions options = Options();
        options.credentials = credentials;
        GoogleDriveUploader drive(options);
        CompletionProbe done;
        drive.Authenticate(done.Callback());
        EXPECT_EQ(done.calls(), 1);
        EXPECT_FALSE(done.ok());
        EXPECT_EQ(done.message(), "Credentials not loaded");
    }
    EXPECT_EQ(browser.Opened(), 0u);
}

TEST_F(Authorization, TwoAttemptsUseTwoPortsAndBothComplete)
{
    GoogleDriveUploader& drive = Client();
    CompletionProbe first, second;
    drive.Authenticate(first.Callback());
    drive.Authenticate(second.Callback());
    for (CompletionProbe* done : {&first, &second}) {
        ASSERT_TRUE(done->Wait());
        EXPECT_EQ(done->message(), "Connected to Google Drive");
    }
    for (const char* name : {"redirect_uri", "state"})
        EXPECT_NE(QueryValue(browser.WaitForUrl(1), name), QueryValue(browser.WaitForUrl(2), name));
    EXPECT_TRUE(drive.IsAuthenticated());
}

TEST_F(Authorization, ListenerIgnoresNoiseBeforeTheCallback)
{
    DriveClientOptions options = Options();
    options.launchBrowser = browser.RecordingLauncher();
    options.timings.connectionReadTimeout = std::chrono::milliseconds(300);
    GoogleDriveUploader& drive = Client(options);
    CompletionProbe done;
    drive.Authenticate(done.Callback());
    const std::string url = browser.WaitForUrl();
    const int port = UrlPort(QueryValue(url, "redirect_uri"));

    // A speculative connection that never speaks, held open throughout.
    RawConnection idle(port);
    ASSERT_TRUE(idle.connected());
    // One that says nothing and closes.
    RawConnection silent(port);
    silent.Close();
    // The browser's icon request.
    RawConnection favicon(port);
    favicon.Send(Request("/favicon.ico"));
    EXPECT_EQ(favicon.ReadAll().rfind("HTTP/1.1 404", 0), 0u);
    // 4 KiB of garbage.
    RawConnection garbage(port);
    std::string junk(4096, 'A');
    for (size_t i = 0; i < junk.size(); i += 7)
        junk[i] = static_cast<char>(0x80 + i % 100);
    garbage.Send(junk);
    garbage.FinishSending();
    EXPECT_EQ(garbage.ReadAll().rfind("HTTP/1.1 404", 0), 0u);
    // A request that stops halfway and is dropped after the read time-out.
    RawConnection stalled(port);
    stalled.Send("GET /oauth2callback?code=");
    EXPECT_EQ(stalled.ReadAll(), "");
    EXPECT_EQ(done.calls(), 0);

    // The real redirect, in two segments.
    const std::string request = Request(ConsentRedirect(url));
    RawConnection callback(port);
    callback.Send(request.substr(0, 20));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    callback.Send(request.substr(20));
    const std::string page = callback.ReadAll();
    EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html>", 0), 0u);
    EXPECT_NE(page.find("<h2>Authenticated!</h2><p>You can close this tab and return to Orvanta.</p>"),
              std::string::npos);

    ASSERT_TRUE(done.Wait());
    EXPECT_EQ(done.message(), "Connected to Google Drive") << provider.LastRefusal();
    EXPECT_TRUE(drive.IsAuthenticated());
}

TEST_F(Authorization, CallbackThatDoesNotAnswerThisAttemptEndsIt)
{
    // Forged or foreign state, no state, no code, a denial with the right
    // state: each ends the attempt without a code and without an exchange.
    const std::vector<std::function<std::string(const std::string& state, const std::string& code)>> forms = {
        [](const std::string&, const std::string& code) { return "?state=forged&code=" + code; },
        [](const std::string&, const std::string& code) { return "?code=" + code; },
        [](const std::string& state, const std::string&) { return "?state=" + state; },
        [](const std::string& state, const std::string&) {
            return "?error=access_denied&state=" + state;
        },
    };
    size_t attempt = 0;
    for (const auto& form : forms) {
        DriveClientOptions options = Options();
        options.launchBrowser = browser.RecordingLauncher();
        GoogleDriveUploader drive(options);
        CompletionProbe done;
        drive.Authenticate(done.Callback());
        const std::string url = browser.WaitForUrl(++attempt);
        const std::string consent = ConsentRedirect(url);
        const std::string code = FormEncode(QueryValue(consent, "code"));

        RawConnection callback(UrlPort(QueryValue(url, "redirect_uri")));
        callback.Send(Request("/oauth2callback" + form(QueryValue(url, "state"), code)));
        const std::string page = callback.ReadAll();
        EXPECT_NE(page.find("Authorization not completed"), std::string::npos) << page;
        ASSERT_TRUE(done.Wait());
        EXPECT_EQ(done.message(), kNoCode);
        EXPECT_FALSE(drive.IsAuthenticated());
    }
    EXPECT_EQ(provider.Count(FakeProvider::Endpoint::Token), 0u);
    ExpectNothingStored();
}

// Nobody comes back to the listener: the attempt ends at its deadline and
// the port closes.
TEST_F(Authorization, BrowserThatCannotStartLeavesTheAttemptToItsDeadline)
{
    std::string url;
    DriveClientOptions options = Options();
    options.launchBrowser = [&url](const std::string& opened) {
        url = opened;
        return false;
    };
    options.timings.redirectWait = std::chrono::milliseconds(300);
    StdoutCapture out;
    GoogleDriveUploader& drive = Client(options);
    EXPECT_EQ(Connect(drive).message(), kNoCode);
    EXPECT_NE(out.Take().find("[Drive] Could not open the browser for authorization\n"), std::string::npos);
    EXPECT_TRUE(PortRefuses(UrlPort(QueryValue(url, "redirect_uri"))));
}

TEST_F(Authorization, DestroyingTheClientEndsAWaitingAttempt)
{
    DriveClientOptions options = Options();
    options.launchBrowser = browser.RecordingLauncher();
    CompletionProbe done;
    Client(options).Authenticate(done.Callback());
    const int port = UrlPort(QueryValue(browser.WaitForUrl(), "redirect_uri"));
    client.reset();
    // Far sooner than the five-minute redirect deadline.
    ASSERT_TRUE(done.Wait(std::chrono::seconds(10)));
    EXPECT_EQ(done.message(), kNoCode);
    EXPECT_EQ(done.calls(), 1);
    EXPECT_TRUE(PortRefuses(port));
}

struct ExchangeFailure {
    const char* name;
    FakeProvider::Answer answer;
};

void PrintTo(const ExchangeFailure& failure, std::ostream* out)
{
    *out << failure.name;
}

class FailedExchange : public Authorization,
                       public ::testing::WithParamInterface<ExchangeFailure> {};

TEST_P(FailedExchange, ReportsTheExchangeFailureAndStoresNothing)
{
    provider.Script(FakeProvider::Endpoint::Token, GetParam().answer);
    DriveClientOptions options = Options();
    options.timings.requestTimeout = std::chrono::milliseconds(500);
    GoogleDriveUploader& drive = Client(options);
    const CompletionProbe done = Connect(drive);
    EXPECT_FALSE(done.ok());
    EXPECT_EQ(done.message(), kExchangeFailed);
    EXPECT_FALSE(drive.IsAuthenticated());
    ExpectNothingStored();
}

INSTANTIATE_TEST_SUITE_P(
    TokenEndpoint, FailedExchange,
    ::testing::Values(
        ExchangeFailure{"ServerErrorPage",
                        {500, "<html><body>Internal Server Error</body></html>", "text/html"}},
        ExchangeFailure{"InvalidGrant",
                        {400, "{\n  \"error\": \"invalid_grant\",\n  \"error_description\": \"Bad Request\"\n}"}},
        ExchangeFailure{"InvalidClient", {401, "{\"error\": \"invalid_client\"}"}},
        ExchangeFailure{"NotJson", {200, "\x01\x02<<not json>>", "application/octet-stream"}},
        ExchangeFailure{"AccessTokenWithoutRefreshToken",
                        {200, "{\"access_token\": \"ya29.x\", \"expires_in\": 3599}"}},
        ExchangeFailure{"EmptyBody", {200, ""}},
        ExchangeFailure{"SilentPastTheTimeout", {200, "", "text/plain", {}, true}}),
    [](const ::testing::TestParamInfo<ExchangeFailure>& info) { return info.param.name; });

TEST_F(Authorization, SecureStoreFailureEndsUnauthenticated)
{
    store->FailAdds(true);
    StdoutCapture out;
    GoogleDriveUploader& drive = Client();
    EXPECT_EQ(Connect(drive).message(), kExchangeFailed);
    EXPECT_NE(out.Take().find("[Drive] Failed to save refresh token to secure store\n"), std::string::npos);
    EXPECT_FALSE(drive.IsAuthenticated());
    ExpectNothingStored();
}

namespace {

// Puts a stand-in xdg-open first on PATH for the test's lifetime; it writes
// its argument count and first argument next to itself.
class FakeXdgOpen {
public:
    FakeXdgOpen()
    {
        char pattern[] = "/tmp/orvanta-xdg-open-XXXXXX";
        directory = ::mkdtemp(pattern);
        std::ofstream(directory + "/xdg-open")
            << "#!/bin/sh\nprintf '%s\\n%s' \"$#\" \"$1\" > \"$0.tmp\" && mv \"$0.tmp\" \"$0.args\"\n";
        ::chmod((directory + "/xdg-open").c_str(), 0755);
        ::setenv("PATH", (directory + ":" + oldPath).c_str(), 1);
    }
    ~FakeXdgOpen()
    {
        ::setenv("PATH", oldPath.c_str(), 1);
        std::filesystem::remove_all(directory);
    }
    bool WaitForArguments(std::string& count, std::string& first)
    {
        const std::string args = directory + "/xdg-open.args";
        for (int i = 0; i < 1000 && !std::filesystem::exists(args); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(args);
        return static_cast<bool>(std::getline(in, count) && std::getline(in, first));
    }

private:
    std::string directory;
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
};

// A child of this process that has ended and was not reaped (left so).
bool UnreapedChild()
{
    siginfo_t info{};
    return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

}  // namespace

TEST_F(Authorization, DefaultBrowserIsXdgOpenWithTheUrlAsItsOneArgument)
{
    FakeXdgOpen xdgOpen;
    DriveClientOptions options = Options();
    options.launchBrowser = nullptr;
    GoogleDriveUploader& drive = Client(options);
    CompletionProbe done;
    drive.Authenticate(done.Callback());

    std::string count, url;
    ASSERT_TRUE(xdgOpen.WaitForArguments(count, url));
    EXPECT_EQ(count, "1");
    EXPECT_EQ(url.rfind(provider.Endpoints().authUrl + "?client_id=", 0), 0u) << url;
    EXPECT_NE(url.find("&code_challenge_method=S256"), std::string::npos) << url;

    RawConnection callback(UrlPort(QueryValue(url, "redirect_uri")));
    callback.Send(Request(ConsentRedirect(url)));
    EXPECT_NE(callback.ReadAll().find("Authenticated!"), std::string::npos);
    ASSERT_TRUE(done.Wait());
    EXPECT_EQ(done.message(), "Connected to Google Drive");

    bool unreaped = UnreapedChild();
    for (int i = 0; i < 500 && unreaped; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        unreaped = UnreapedChild();
    }
    EXPECT_FALSE(unreaped);
}
