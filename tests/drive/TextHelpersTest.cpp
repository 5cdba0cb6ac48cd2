// The client's pure text helpers: field extraction, file-list reading,
// percent-encoding and the redirect request parser.

#include "GoogleDriveUploader.h"

#include <gtest/gtest.h>

namespace {

const auto Field = GoogleDriveUploader::ExtractJsonField;
const auto Parse = GoogleDriveUploader::ParseRedirectRequest;
const auto FirstId = GoogleDriveUploader::ExtractFirstFileId;

}  // namespace

TEST(ExtractJsonField, QuotedValuesComeBackVerbatimUpToTheNextQuote)
{
    EXPECT_EQ(Field("{\"name\": \"x\"}", "name"), "x");
    EXPECT_EQ(Field("{\"name\": \"a\\\"b\"}", "name"), "a\\");
    EXPECT_EQ(Field("{\"name\":\n\t \"\"}", "name"), "");
    EXPECT_EQ(Field("{\"Name\": \"x\"}", "name"), "");
}

TEST(ExtractJsonField, BareValuesEndAtCommaBraceOrLineEnd)
{
    EXPECT_EQ(Field("{\"expires_in\": 42 }", "expires_in"), "42 ");
    EXPECT_EQ(Field("{\"expires_in\":42,\"token_type\":\"Bearer\"}", "expires_in"), "42");
    EXPECT_EQ(Field("{\"expires_in\": null}", "expires_in"), "null");
    EXPECT_EQ(Field("{\n  \"expires_in\": 3599\r\n}", "expires_in"), "3599");
    EXPECT_EQ(Field("{\"n\": 1 ]}", "n"), "1 ]");
    EXPECT_EQ(Field("{\"n\": 7", "n"), "7");
}

TEST(ExtractJsonField, MissingOrUnfinishedValuesAreEmpty)
{
    EXPECT_EQ(Field("{\"other\": 1}", "id"), "");
    EXPECT_EQ(Field("", "id"), "");
    EXPECT_EQ(Field("{\"id\" 1}", "id"), "");
    EXPECT_EQ(Field("{\"id\":", "id"), "");
    EXPECT_EQ(Field("{\"id\": \t\r\n ", "id"), "");
    EXPECT_EQ(Field("{\"id\": \"never closed", "id"), "");
    EXPECT_EQ(Field("{\"id\":,\"x\":1}", "id"), "");
    EXPECT_EQ(Field("{\"id\":}", "id"), "");
}

TEST(ExtractJsonField, TakesTheFirstPlaceTheQuotedKeyOccurs)
{
    // As a string value with no colon after it: nothing.
    EXPECT_EQ(Field("{\"kind\":\"id\"}", "id"), "");
    // As a string value with a colon later: the value after that colon.
    EXPECT_EQ(Field("{\"kind\":\"id\",\"name\":\"n\"}", "id"), "n");
    // Nested before top level.
    EXPECT_EQ(Field("{\"error\":{\"id\":\"inner\"},\"id\":\"outer\"}", "id"), "inner");
}

TEST(ExtractFirstFileId, ReadsTheFirstElementOfTheFilesList)
{
    EXPECT_EQ(FirstId("{\n  \"files\": [\n    {\n      \"id\": \"f1\",\n      \"name\": "
                      "\"Orvanta\"\n    },\n    {\"id\": \"f2\"}\n  ]\n}"),
              "f1");
    EXPECT_EQ(FirstId("{\"id\":\"outer\",\"files\":[{\"name\":\"a\",\"id\":\"inner\"}]}"), "inner");
}

TEST(ExtractFirstFileId, EmptyOrMissingListsGiveNothing)
{
    EXPECT_EQ(FirstId("{\"files\": []}"), "");
    EXPECT_EQ(FirstId("{\"files\": [ \n\t\r ]}"), "");
    EXPECT_EQ(FirstId("{\"files\": [ \n"), "");
    EXPECT_EQ(FirstId("{\"files\": ["), "");
    EXPECT_EQ(FirstId("{\"files\": 3}"), "");
    EXPECT_EQ(FirstId("{\"id\": \"not-in-a-list\"}"), "");
    EXPECT_EQ(FirstId("<html>401</html>"), "");
}

TEST(UrlEncode, PassesUnreservedCharactersAndEscapesEveryOtherByte)
{
    using U = GoogleDriveUploader;
    const std::string unreserved =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
    EXPECT_EQ(U::UrlEncode(unreserved), unreserved);
    EXPECT_EQ(U::UrlEncode(""), "");
    EXPECT_EQ(U::UrlEncode(" /:'+&=%"), "%20%2F%3A%27%2B%26%3D%25");
    EXPECT_EQ(U::UrlEncode("\xC3"), "%C3");
    EXPECT_EQ(U::UrlEncode("\xC3\xA9"), "%C3%A9");
    EXPECT_EQ(U::UrlEncode(std::string(1, '\0')), "%00");
    EXPECT_EQ(U::UrlEncode("http://127.0.0.1:8080/oauth2callback"),
              "http%3A%2F%2F127.0.0.1%3A8080%2Foauth2callback");
}

TEST(ParseRedirectRequest, ReadsTheCallbackQuery)
{
    struct Case {
        const char* request;
        const char* code;
        const char* state;
        const char* error;
    };
    for (const Case& c : std::vector<Case>{
             {"GET /oauth2callback?state=abc&code=4/0AX-y_z&scope=https%3A%2F%2Fx HTTP/1.1\r\n"
              "Host: 127.0.0.1:5000\r\n\r\n", "4/0AX-y_z", "abc", ""},
             {"GET /oauth2callback?state=s&code=xyz HTTP/1.1\r\n\r\n", "xyz", "s", ""},
             // Values are decoded.
             {"GET /oauth2callback?code=4%2F0A%2Bb+c&state=%41%zz HTTP/1.1\r\n\r\n", "4/0A+b c", "A%zz", ""},
             {"GET /oauth2callback?error=access_denied&state=s HTTP/1.1\r\nHost: x\r\n\r\n", "", "s",
              "access_denied"},
             // Only the code parameter itself: neither a longer name, nor
             // "code=" in a header, nor a repeat changes it.
             {"GET /oauth2callback?xcode=evil&state=s HTTP/1.1\r\n\r\n", "", "s", ""},
             {"GET /oauth2callback?state=s HTTP/1.1\r\nReferer: http://a/?code=evil\r\n\r\n", "", "s", ""},
             {"GET /oauth2callback?code=good&code=evil HTTP/1.1\r\n\r\n", "good", "", ""},
             {"GET /oauth2callback?code=&state=s HTTP/1.1\r\n\r\n", "", "s", ""},
             {"GET /oauth2callback HTTP/1.1\r\n\r\n", "", "", ""},
             {"GET /oauth2callback?code=c&state=s HTTP/1.1\n\n", "c", "s", ""},
         }) {
        SCOPED_TRACE(c.request);
        const RedirectRequest r = Parse(c.request);
        EXPECT_EQ(r.kind, RedirectRequest::Kind::Callback);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.state, c.state);
        EXPECT_EQ(r.error, c.error);
    }
}

TEST(ParseRedirectRequest, WaitsForTheEndOfTheHeaderBlock)
{
    EXPECT_EQ(Parse("").kind, RedirectRequest::Kind::Incomplete);
    EXPECT_EQ(Parse("GET /oauth2callback?code=c&state=s HTTP/1.1\r\nHost: x\r\n").kind,
              RedirectRequest::Kind::Incomplete);
}

TEST(ParseRedirectRequest, EverythingElseIsOther)
{
    for (const char* request : {
             "GET /favicon.ico HTTP/1.1\r\nHost: x\r\n\r\n",
             "POST /oauth2callback?code=c&state=s HTTP/1.1\r\n\r\n",
             "GET /oauth2callbackx?code=c HTTP/1.1\r\n\r\n",
             "GET /oauth2 HTTP/1.1\r\n\r\n",
             "GET\r\n\r\n",
             "get /oauth2callback?code=c HTTP/1.1\r\n\r\n",
             "\x16\x03\x01\x02\x01\r\n\r\n",
             "\r\n\r\n",
         }) {
        EXPECT_EQ(Parse(request).kind, RedirectRequest::Kind::Other) << request;
    }
}
