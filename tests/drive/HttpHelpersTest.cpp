// The blocking request helpers against loopback servers.

#include "DriveTestSupport.h"
#include "GoogleDriveUploader.h"

#include <gtest/gtest.h>

namespace {

const char kJsonReply[] =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 27\r\n"
    "Connection: close\r\n\r\n{\"access_token\": \"ya29.a\"}";

size_t Occurrences(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1))
        ++count;
    return count;
}

}  // namespace

TEST(HttpHelpers, PostSendsEachHeaderLineOnceInOrder)
{
    LoopbackHttpServer server(HttpReply::Raw(kJsonReply));
    const std::string body = GoogleDriveUploader::Post(
        server.Url("/token"), "a=1", {"X-Second: 2", "Content-Type: text/plain", "X-First: 1"});
    EXPECT_EQ(body, "{\"access_token\": \"ya29.a\"}");

    ASSERT_EQ(server.Requests().size(), 1u);
    const std::string request = server.Requests()[0].raw;
    EXPECT_EQ(request.rfind("POST /token HTTP/1.1\r\n", 0), 0u) << request;
    const size_t second = request.find("\r\nX-Second: 2\r\n");
    const size_t type = request.find("\r\nContent-Type: text/plain\r\n");
    const size_t first = request.find("\r\nX-First: 1\r\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_LT(second, type);
    EXPECT_LT(type, first);
    EXPECT_EQ(Occurrences(request, "Content-Type:"), 1u);
    EXPECT_EQ(Occurrences(request, "X-Second:"), 1u);
}

TEST(HttpHelpers, EmptyHeaderListSendsNoLineOfItsOwn)
{
    LoopbackHttpServer server(HttpReply::Raw(kJsonReply));
    GoogleDriveUploader::Get(server.Url("/files?q=x"), {});
    ASSERT_EQ(server.Requests().size(), 1u);
    const std::string request = server.Requests()[0].raw;
    EXPECT_EQ(request.rfind("GET /files?q=x HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(Occurrences(request, "Authorization"), 0u);
    EXPECT_EQ(Occurrences(request, "User-Agent"), 0u);
}

TEST(HttpHelpers, BodiesAreBinarySafeBothWays)
{
    const std::string payload("a\0b\xff", 4);
    LoopbackHttpServer server(
        HttpReply::Raw("HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\n" + payload));
    const std::string body("left\0right", 10);
    EXPECT_EQ(GoogleDriveUploader::Post(server.Url(), body, {"Content-Type: application/octet-stream"}),
              payload);
    ASSERT_EQ(server.Requests().size(), 1u);
    const std::string request = server.Requests()[0].raw;
    EXPECT_NE(request.find("Content-Length: 10\r\n"), std::string::npos);
    EXPECT_EQ(request.substr(request.size() - 10), body);
}

TEST(HttpHelpers, ErrorStatusBodiesComeBackUnchanged)
{
    const std::string error = "{\"error\": {\"code\": 401, \"message\": \"Invalid Credentials\"}}";
    LoopbackHttpServer server(HttpReply(401, error, "application/json"));
    EXPECT_EQ(GoogleDriveUploader::Get(server.Url(), {"Authorization: Bearer x"}), error);
}

TEST(HttpHelpers, SilentOrUnreachableServerGivesEmptyBody)
{
    LoopbackHttpServer server(HttpReply::Silent());
    EXPECT_EQ(GoogleDriveUploader::Post(server.Url(), "x", {}, std::chrono::milliseconds(300)), "");
    EXPECT_EQ(server.Requests().size(), 1u);

    const std::string url = "http://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/token";
    EXPECT_EQ(GoogleDriveUploader::Post(url, "x", {}), "");
    EXPECT_EQ(GoogleDriveUploader::Get(url, {}), "");
}
