#pragma once

// A loopback stand-in for the OAuth provider and the Drive API, speaking
// their protocol: consent redirect, token endpoint with both grants (checking
// the PKCE verifier), folder search and creation, multipart upload with the
// JPEG decoded on arrival. Each endpoint can be scripted to fail.

#include "GoogleDriveUploader.h"
#include "LoopbackHttp.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

struct UploadedFile {
    std::string id;
    std::string name;
    std::vector<std::string> parents;
    std::string metadataJson;  // the metadata part verbatim
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bgrPixels;  // as decoded
    // The decoded colour at a point, as red, green, blue.
    std::vector<int> RgbAt(int x, int y) const;
};

class FakeProvider {
public:
    enum class Endpoint { Authorize, Token, Search, Create, Upload };

    // A scripted answer replaces the provider's own for one request.
    struct Answer {
        int status = 200;
        std::string body;
        std::string contentType = "application/json; charset=utf-8";
        std::chrono::milliseconds delay{0};
        bool hang = false;  // never answer (until the provider stops)
        // Answer after delay in the provider's own way instead of with body.
        bool ownAnswer = false;
    };

    static const char kClientId[];
    static const char kClientSecret[];

    FakeProvider();
    ~FakeProvider();
    FakeProvider(const FakeProvider&) = delete;
    FakeProvider& operator=(const FakeProvider&) = delete;

    DriveEndpoints Endpoints() const;
    DriveCredentials Credentials() const;
    std::string BaseUrl() const;

    void Script(Endpoint endpoint, Answer answer);
    // Whether the user grants access on the consent page.
    void SetConsent(bool grant);
    // Registers a refresh token that the token endpoint accepts.
    std::string AddRefreshToken();
    // Registers an access token valid for the Drive endpoints.
    std::string AddAccessToken();
    std::string AddFolder(const std::string& name);

    std::vector<RecordedRequest> Requests() const;
    std::vector<RecordedRequest> Requests(Endpoint endpoint) const;
    size_t Count(Endpoint endpoint) const;
    std::vector<UploadedFile> Files() const;
    // Why the provider last refused a request of its own accord (not scripted).
    std::string LastRefusal() const;

private:
    // Runs on the server's connection threads.
    HttpReply Handle(const RecordedRequest& request);
    void Authorize(const RecordedRequest& request, int& status, std::string& body,
                   std::string& location);
    void Token(const RecordedRequest& request, int& status, std::string& body);
    void Search(const RecordedRequest& request, int& status, std::string& body);
    void Create(const RecordedRequest& request, int& status, std::string& body);
    void Upload(const RecordedRequest& request, int& status, std::string& body);
    bool Authorized(const RecordedRequest& request, int& status, std::string& body);
    std::string NextId(const std::string& prefix);

    mutable std::mutex mutex;
    std::condition_variable stopped;
    bool stopping = false;
    std::map<Endpoint, std::deque<Answer>> scripts;
    std::vector<std::pair<Endpoint, RecordedRequest>> log;

    bool grantConsent = true;
    int counter = 0;
    struct IssuedCode {
        std::string challenge;
        std::string redirectUri;
    };
    std::map<std::string, IssuedCode> codes;
    std::set<std::string> refreshTokens;
    std::set<std::string> accessTokens;
    std::vector<std::pair<std::string, std::string>> folders;  // id, name
    std::vector<UploadedFile> files;
    std::string lastRefusal;

    // Last, so that it goes first: its threads use everything above.
    LoopbackHttpServer server{[this](const RecordedRequest& request) { return Handle(request); }};
};
