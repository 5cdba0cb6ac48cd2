#include "GoogleAnalyticsClient.h"
#include "LoopbackHttp.h"
#include "StdoutCapture.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string kPath = "/mp/collect";

long long NowS()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string SessionIdOf(const std::string& body)
{
    std::smatch match;
    if (!std::regex_search(body, match, std::regex("\"session_id\":\"([^\"]*)\"")))
        return std::string();
    return match[1];
}

std::string ExpectedBody(const std::string& clientId, const std::string& name,
                         const std::string& sessionId, const std::string& extra = "")
{
    return "{\"client_id\":\"" + clientId + "\",\"events\":[{\"name\":\"" + name +
           "\",\"params\":{\"engagement_time_msec\":100,\"session_id\":\"" + sessionId + "\"" +
           extra + "}}]}";
}

// A proxy from the developer's environment must not see loopback traffic.
class LoopbackWithoutProxy : public testing::Environment {
public:
    void SetUp() override
    {
        setenv("no_proxy", "127.0.0.1", 1);
        setenv("NO_PROXY", "127.0.0.1", 1);
    }
};
testing::Environment* const kLoopbackWithoutProxy =
    testing::AddGlobalTestEnvironment(new LoopbackWithoutProxy);

class AnalyticsWithServer : public testing::Test {
protected:
    LoopbackHttpServer server;
    GoogleAnalyticsClient client{server.Url(kPath)};
};

}  // namespace

TEST(AnalyticsEncoding, EscapeJsonEscapesQuotesBackslashesAndShortControls)
{
    EXPECT_EQ(GoogleAnalyticsClient::EscapeJson(""), "");
    EXPECT_EQ(GoogleAnalyticsClient::EscapeJson("app_open"), "app_open");
    EXPECT_EQ(GoogleAnalyticsClient::EscapeJson("a\"b\\c"), "a\\\"b\\\\c");
    EXPECT_EQ(GoogleAnalyticsClient::EscapeJson("\b\f\n\r\t"), "\\b\\f\\n\\r\\t");
    EXPECT_EQ(GoogleAnalyticsClient::EscapeJson(std::string("\x01\x1f\x7f", 3)), "\x01\x1f\x7f");
    EXPECT_EQ(GoogleAnalyticsClient::EscapeJson(std::string("a\0b", 3)), std::string("a\0b", 3));
    EXPECT_EQ(GoogleAnalyticsClient::EscapeJson("caf\xc3\xa9 \xe2\x80\xa6"), "caf\xc3\xa9 \xe2\x80\xa6");
}

TEST(AnalyticsEncoding, UrlEncodeKeepsOnlyUnreservedBytes)
{
    const std::string unreserved =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
    EXPECT_EQ(GoogleAnalyticsClient::UrlEncode(unreserved), unreserved);
    EXPECT_EQ(GoogleAnalyticsClient::UrlEncode(""), "");
    EXPECT_EQ(GoogleAnalyticsClient::UrlEncode(" "), "%20");
    EXPECT_EQ(GoogleAnalyticsClient::UrlEncode("/:'+&=?%#"), "%2F%3A%27%2B%26%3D%3F%25%23");
    EXPECT_EQ(GoogleAnalyticsClient::UrlEncode("\xc3\xa9"), "%C3%A9");
    EXPECT_EQ(GoogleAnalyticsClient::UrlEncode(std::string("\0\n\x7f", 3)), "%00%0A%7F");
}

// Twenty identifiers, each two 64-bit draws: all well formed, all distinct,
// and some part beyond 32 bits unless the generator is narrowed.
TEST(AnalyticsClientId, TwoHexNumbersWithoutLeadingZerosSpanningThe64BitRange)
{
    const std::regex format("(0|[1-9a-f][0-9a-f]{0,15})\\.(0|[1-9a-f][0-9a-f]{0,15})");
    std::set<std::string> ids;
    std::size_t longestPart = 0;
    for (int i = 0; i < 20; ++i) {
        const std::string id = GoogleAnalyticsClient::GenerateClientId();
        EXPECT_TRUE(std::regex_match(id, format)) << id;
        ids.insert(id);
        const auto dot = id.find('.');
        longestPart = std::max({longestPart, dot, id.size() - dot - 1});
    }
    EXPECT_EQ(ids.size(), 20u);
    EXPECT_GT(longestPart, 8u);
}

TEST_F(AnalyticsWithServer, PostsOneJsonEventToTheCollectionPath)
{
    const long long before = NowS();
    client.Configure("G-A/B C", "s&e=c?r+t%", "1a2b.3c4d");
    const long long after = NowS();
    server.SetReply(204);

    StdoutCapture capture;
    client.TrackEventSync("app_open");
    EXPECT_EQ(capture.Take(), "[Analytics] Event 'app_open' sent successfully.\n");
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const RecordedRequest& request = requests[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/mp/collect?measurement_id=G-A%2FB%20C&api_secret=s%26e%3Dc%3Fr%2Bt%25");
    EXPECT_EQ(request.HeaderValues("Content-Type"), std::vector<std::string>{"application/json"});

    const std::string sessionId = SessionIdOf(request.body);
    ASSERT_TRUE(std::regex_match(sessionId, std::regex("[1-9][0-9]*"))) << request.body;
    EXPECT_GE(std::stoll(sessionId), before);
    EXPECT_LE(std::stoll(sessionId), after);
    EXPECT_EQ(request.body, ExpectedBody("1a2b.3c4d", "app_open", sessionId));
}

TEST_F(AnalyticsWithServer, EscapesNameAndParameterInTheBody)
{
    client.Configure("G-ABCDEF1234", "secret", "c\"id");
    const std::string name = std::string("a\"b\\c\nd\x01", 8);

    {
        StdoutCapture quiet;
        client.TrackEventImpl(name, "pa\"ram", "va\\lue\t", false);
        client.TrackEventImpl("no_param", "", "ignored", false);
    }

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::string sessionId = SessionIdOf(requests[0].body);
    EXPECT_EQ(requests[0].body,
              ExpectedBody("c\\\"id", std::string("a\\\"b\\\\c\\nd\x01", 11), sessionId,
                           ",\"pa\\\"ram\":\"va\\\\lue\\t\""));
    EXPECT_EQ(requests[1].body, ExpectedBody("c\\\"id", "no_param", sessionId));
}

class AnalyticsStatus : public AnalyticsWithServer,
                        public testing::WithParamInterface<std::pair<int, bool>> {};

TEST_P(AnalyticsStatus, StatusBelow400CountsAsSent)
{
    const auto [status, sent] = GetParam();
    client.Configure("G-ABCDEF1234", "secret", "1.2");
    server.SetReply(status);

    StdoutCapture capture;
    client.TrackEventSync("app_close");
    const std::string out = capture.Take();

    // Synchronous: the answer is in by the time it returns.
    EXPECT_EQ(server.Requests().size(), 1u);
    if (sent) {
        EXPECT_EQ(out, "[Analytics] Event 'app_close' sent successfully.\n");
    } else {
        EXPECT_EQ(out, "[Analytics] Event 'app_close' failed: curl=0 status=" +
                           std::to_string(status) + "\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Statuses, AnalyticsStatus,
                         testing::Values(std::make_pair(200, true), std::make_pair(204, true),
                                         std::make_pair(302, true), std::make_pair(400, false),
                                         std::make_pair(404, false), std::make_pair(500, false)));

TEST_F(AnalyticsWithServer, UnconfiguredClientSendsAndPrintsNothing)
{
    StdoutCapture capture;
    client.TrackEventSync("never_configured");
    client.Configure("", "secret", "1.2");
    client.TrackEventSync("no_measurement_id");
    client.Configure("G-ABCDEF1234", "", "1.2");
    client.TrackEventSync("no_secret");
    client.Configure("G-ABCDEF1234", "secret", "");
    client.TrackEventSync("no_client_id");
    client.Configure("G-ABCDEF1234", "secret", "1.2");
    client.TrackEventSync("");
    client.TrackEventImpl("", "param", "value", false);
    EXPECT_EQ(capture.Take(), "");
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(AnalyticsWithServer, LaterConfigureReplacesIdentifiersButKeepsTheSession)
{
    const long long before = NowS();
    client.Configure("G-FIRST00001", "first", "1.1");
    const long long after = NowS();
    // Let the clock pass a whole second so a new session would differ.
    while (NowS() <= after)
        std::this_thread::sleep_for(10ms);
    client.Configure("G-SECOND0002", "second", "2.2");

    {
        StdoutCapture quiet;
        client.TrackEventSync("app_open");
    }

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/mp/collect?measurement_id=G-SECOND0002&api_secret=second");
    const std::string sessionId = SessionIdOf(requests[0].body);
    EXPECT_EQ(requests[0].body, ExpectedBody("2.2", "app_open", sessionId));
    ASSERT_FALSE(sessionId.empty());
    EXPECT_GE(std::stoll(sessionId), before);
    EXPECT_LE(std::stoll(sessionId), after);
}

TEST_F(AnalyticsWithServer, TrackEventReturnsBeforeTheAnswerAndSendsLater)
{
    client.Configure("G-ABCDEF1234", "secret", "1.2");
    server.SetReply(204);
    server.Hold(5s);

    StdoutCapture capture;
    client.TrackEvent("app_open");
    const std::string printedAtReturn = capture.Text();
    const bool arrived = server.WaitForRequests(1, 5s);
    server.Release();
    capture.WaitFor("app_open", 5s);
    const std::string out = capture.Take();

    EXPECT_EQ(printedAtReturn, "");
    EXPECT_TRUE(arrived);
    EXPECT_EQ(out, "[Analytics] Event 'app_open' sent successfully.\n");
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, ExpectedBody("1.2", "app_open", SessionIdOf(requests[0].body)));
}

TEST_F(AnalyticsWithServer, ConcurrentEventsEachArriveOnce)
{
    client.Configure("G-ABCDEF1234", "secret", "1.2");
    constexpr int kEvents = 8;

    StdoutCapture capture;
    for (int i = 0; i < kEvents; ++i)
        client.TrackEvent("event_" + std::to_string(i));
    const bool arrived = server.WaitForRequests(kEvents, 10s);
    for (int i = 0; i < kEvents; ++i)
        capture.WaitFor("'event_" + std::to_string(i) + "' sent", 10s);
    const std::string out = capture.Take();

    ASSERT_TRUE(arrived);
    std::vector<std::string> names;
    for (const auto& request : server.Requests()) {
        std::smatch match;
        ASSERT_TRUE(std::regex_search(request.body, match, std::regex("\"name\":\"([^\"]*)\"")));
        names.push_back(match[1]);
    }
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), static_cast<std::size_t>(kEvents));
    for (int i = 0; i < kEvents; ++i) {
        const std::string name = "event_" + std::to_string(i);
        EXPECT_EQ(names[i], name);
        EXPECT_NE(out.find("[Analytics] Event '" + name + "' sent successfully.\n"),
                  std::string::npos);
    }
}

namespace {

// Runs in a child process: leaves no address space for a thread stack, then
// sends an event asynchronously and exits normally if that did not crash.
void TrackEventWithoutRoomForAThread(const std::string& endpoint)
{
    GoogleAnalyticsClient client(endpoint);
    client.Configure("G-ABCDEF1234", "secret", "1.2");
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) +
                         (256u << 10);
    const rlimit addressSpace{limit, limit};
    setrlimit(RLIMIT_AS, &addressSpace);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    client.TrackEvent("app_open");
    std::_Exit(0);
}

// Runs in a child process whose standard output is not a terminal; leaves
// without flushing the C library's buffers, so only flushed lines survive.
void TrackEventSyncThenExitAbruptly(const std::string& endpoint)
{
    GoogleAnalyticsClient client(endpoint);
    client.Configure("G-ABCDEF1234", "secret", "1.2");
    dup2(STDERR_FILENO, STDOUT_FILENO);
    client.TrackEventSync("app_close");
    std::_Exit(0);
}

}  // namespace

// Also the report of a refused connection: a curl code and no status.
TEST(AnalyticsOutputDeathTest, LinesAreFlushedWhenWritten)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ClosedLoopbackPort refusing;
    const std::string endpoint = "http://127.0.0.1:" + std::to_string(refusing.Port()) + kPath;
    EXPECT_EXIT(TrackEventSyncThenExitAbruptly(endpoint), testing::ExitedWithCode(0),
                "\\[Analytics\\] Event 'app_close' failed: curl=[1-9][0-9]* status=0");
}

TEST(AnalyticsFailureDeathTest, ThreadThatCannotStartDropsTheEventWithoutCrashing)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ClosedLoopbackPort refusing;
    const std::string endpoint = "http://127.0.0.1:" + std::to_string(refusing.Port()) + kPath;
    EXPECT_EXIT(TrackEventWithoutRoomForAThread(endpoint),
        testing::ExitedWithCode(0),
        "\\[Analytics\\] Event 'app_open' failed: could not start thread: ");
}
