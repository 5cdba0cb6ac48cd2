#include "DriveTestFixture.h"
#include "DriveText.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/stat.h>

#include <fstream>

TEST(RedirectRequest, IsReadFromWhatTheBrowserSent)
{
    using Kind = RedirectRequest::Kind;
    const struct { const char* received; Kind kind; const char* codeStateError; } cases[] = {
        {"GET /oauth2callback?code=4%2F0A%2Bb&state=s1 HTTP/1.1\r\nHost: x\r\n\r\n", Kind::Callback, "4/0A+b|s1|"},
        {"GET /oauth2callback?state=a+b%3D&code=c+d HTTP/1.1\n\n", Kind::Callback, "c d|a b=|"},
        {"GET /oauth2callback?xcode=1&code_=2&state=x%26code%3D3 HTTP/1.1\r\n\r\n", Kind::Callback, "|x&code=3|"},
        {"GET /oauth2callback?error=access_denied&state=s HTTP/1.1\r\n\r\n", Kind::Callback, "|s|access_denied"},
        {"GET /oauth2callback?code=1&state=s HTTP/1.1\r\nHost: x\r\n", Kind::Incomplete, "||"},
        {"GET /favicon.ico HTTP/1.1\r\n\r\n", Kind::Other, "||"},
        {"GET /oauth2callbackx?code=1&state=s HTTP/1.1\r\n\r\n", Kind::Other, "||"},
        {"POST /oauth2callback?code=1&state=s HTTP/1.1\r\n\r\n", Kind::Other, "||"},
    };
    for (const auto& c : cases) {
        const RedirectRequest request = ParseRedirectRequest(c.received);
        EXPECT_EQ(request.kind, c.kind) << c.received;
        EXPECT_EQ(request.code + "|" + request.state + "|" + request.error, c.codeStateError) << c.received;
    }
}

TEST_F(DriveTest, AuthorizationOutcomes)
{
    // Provider's answer, consent URL reaching it with another challenge, outcome, page shown, token requests.
    const struct { const char* consent; bool otherChallenge, ok; const char* page; int tokenRequests; } cases[] = {
        {"grant=1", false, true, "Authenticated!", 1},
        {"grant=0", false, false, "not completed", 0},
        {"grant=1&state=forged", false, false, "not completed", 0},
        {"grant=1", true, false, "Authenticated!", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.consent) + (c.otherChallenge ? " with another challenge" : ""));
        provider.Post("/control/reset");
        provider.Post(std::string("/control/consent?") + c.consent);
        DriveClientOptions options = Options();
        if (c.otherChallenge)
            options.launchBrowser = [open = options.launchBrowser](std::string url) {
                return open(url.insert(url.find("code_challenge=") + 15, "x"));
            };
        settings->Write({{"/GoogleDrive/SignInLapsed", "true"}});  // an earlier run's sign-in lapsed
        auto [callback, done] = Completion();
        Start(options).Authenticate(callback);
        EXPECT_EQ(Outcome(done), int(c.ok));
        EXPECT_EQ(client->IsLapsed(), !c.ok);
        EXPECT_EQ(Entry("/GoogleDrive/SignInLapsed"), c.ok ? "(absent)" : "true");
        const std::string page = "/control/report?endpoint=browser&field=body";
        EXPECT_TRUE(WaitUntil([&] { return provider.Get(page).find(c.page) != std::string::npos; })) << provider.Get(page);
        EXPECT_EQ(Count("token"), c.tokenRequests);
        EXPECT_EQ(client->IsAuthenticated(), c.ok);
        EXPECT_EQ(store->Item().empty(), !c.ok);
        EXPECT_EQ(Entry("/GoogleDrive/TokenExpiry"), c.ok ? std::to_string(kNow + 3600) : "(absent)");
        EXPECT_EQ(Entry("/GoogleDrive/ClientId"), c.ok ? "test-client-id" : "(absent)");
        client->Disconnect();
        EXPECT_EQ(store->Item() + Entry("/GoogleDrive/AccessToken") + Entry("/GoogleDrive/TokenExpiry")
                  + Entry("/GoogleDrive/ClientId") + lost->Text(), "(absent)(absent)(absent)");
        EXPECT_EQ(client->IsLapsed() ? "lapsed" : Entry("/GoogleDrive/SignInLapsed"), "(absent)");
    }
}

TEST_F(DriveTest, RedirectWaitIsBounded)
{
    DriveClientOptions options = Options();
    options.launchBrowser = [](const std::string&) { return true; };  // the user never answers
    options.timings.redirectWait = 300ms;
    auto [callback, done] = Completion();
    Start(options).Authenticate(callback);
    EXPECT_EQ(Outcome(done), 0);
}

// Connects to the listener and sends the segments one by one; the reply, or
// with keepOpen the connection itself, left open and silent.
static std::string Exchange(int port, const std::vector<std::string>& segments, int* keepOpen = nullptr)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0), noDelay = 1;
    const timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && !keepOpen) {
        for (const std::string& segment : segments) {
            send(fd, segment.data(), segment.size(), MSG_NOSIGNAL);
            std::this_thread::sleep_for(50ms);  // separate segments, as from a slow browser
        }
        char buffer[4096];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
            reply.append(buffer, static_cast<size_t>(n));
    }
    keepOpen ? void(*keepOpen = fd) : void(close(fd));
    return reply;
}

TEST_F(DriveTest, ListenerServesOnlyTheCallbackAndKeepsListening)
{
    DriveClientOptions options = Options();
    auto opened = std::make_shared<std::promise<std::string>>();
    options.launchBrowser = [opened](const std::string& url) { return opened->set_value(url), true; };
    // Longer than the test: a listener that serves one connection at a time stays stuck on the idle one.
    options.timings.connectionReadTimeout = 60s;
    auto [callback, done] = Completion();
    Start(options).Authenticate(callback);
    auto consentUrl = opened->get_future();
    ASSERT_EQ(consentUrl.wait_for(10s), std::future_status::ready);
    // The consent page's body is the redirect it would send the browser to.
    const std::string redirect = provider.Get(consentUrl.get().substr(provider.Url().size()));
    const int port = std::atoi(redirect.c_str() + 17);
    const std::string target = redirect.substr(redirect.find('/', 17));

    int idle = -1;
    Exchange(port, {}, &idle);
    EXPECT_EQ(Exchange(port, {"GET /favicon.ico HTTP/1.1\r\nHost: x\r\n\r\n"}).substr(0, 12), "HTTP/1.1 404");
    EXPECT_NE(Exchange(port, {"GET " + target.substr(0, 9), target.substr(9) + " HTTP/1.1\r\n", "Host: x\r\n\r\n"})
                  .find("Authenticated!"), std::string::npos);
    EXPECT_EQ(Outcome(done), 1);
    close(idle);
}

TEST_F(DriveTest, DefaultLauncherStartsTheBrowserWithoutAShell)
{
    char dirTemplate[] = "/tmp/orvanta-browser-XXXXXX";
    const std::string dir = mkdtemp(dirTemplate), ran = dir + "/ran", path = std::getenv("PATH");
    std::ofstream(dir + "/xdg-open") << "#!/bin/sh\nprintf '%s\\n' $# \"$1\" >\"$0.tmp\" && mv \"$0.tmp\" \"$0.args\"\n";
    chmod((dir + "/xdg-open").c_str(), 0755);
    setenv("PATH", (dir + ":" + path).c_str(), 1);
    DriveClientOptions options = Options();
    options.launchBrowser = nullptr;
    options.endpoints.authUrl = "http://127.0.0.1:9/a;touch " + ran + "&$(touch " + ran + ")`touch " + ran + "`'\"|x";
    auto [callback, done] = Completion();
    Start(options).Authenticate(callback);
    std::string count, argument;
    EXPECT_TRUE(WaitUntil([&] { return !!std::getline(std::ifstream(dir + "/xdg-open.args") >> count >> std::ws, argument); }));
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(count, "1");
    EXPECT_EQ(argument.rfind(options.endpoints.authUrl + "?client_id=test-client-id&", 0), 0u) << argument;
    EXPECT_NE(access(ran.c_str(), F_OK), 0);
    std::system(("rm -rf " + dir).c_str());
}
