#pragma once

// A lean loopback stand-in for the OAuth token endpoint and the Drive API,
// for runs that last hours: it speaks the same protocol as the test suite's
// fake provider (refresh-token grant, folder search and creation, multipart
// upload) but keeps only counters, never the uploaded files, so its own
// memory stays flat however many frames arrive (its server records no
// requests either). Requests are served on the server's connection threads;
// every accessor may be called from any thread.

#include "LoopbackHttp.h"

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class SoakProvider {
public:
    static const char kClientId[];
    static const char kClientSecret[];

    struct Counts {
        uint64_t refreshes = 0;
        uint64_t searches = 0;
        uint64_t folderCreations = 0;
        uint64_t uploads = 0;
        uint64_t uploadedBytes = 0;  // JPEG bytes only
        uint64_t refused = 0;        // requests answered with 4xx
    };

    // Listens on 127.0.0.1 at a free port from construction; false when no
    // port could be bound.
    bool IsListening() const { return server.Port() > 0; }
    std::string BaseUrl() const;

    // Registers a refresh token that the token endpoint accepts.
    std::string AddRefreshToken();

    Counts Snapshot() const;
    // Why the provider last refused a request, or empty.
    std::string LastRefusal() const;

private:
    HttpReply Handle(const RecordedRequest& request);
    // These are called with the mutex held.
    HttpReply Token(const RecordedRequest& request);
    HttpReply Search(const RecordedRequest& request);
    HttpReply Create(const RecordedRequest& request);
    HttpReply Upload(const RecordedRequest& request);
    bool Authorized(const RecordedRequest& request);
    HttpReply Refuse(int status, const std::string& why);

    mutable std::mutex mutex;
    int issued = 0;
    std::set<std::string> refreshTokens;
    std::set<std::string> accessTokens;
    std::vector<std::string> folderIds;
    Counts counts;
    std::string lastRefusal;

    // Last, so that it goes first: its threads use everything above.
    LoopbackHttpServer server{[this](const RecordedRequest& request) { return Handle(request); }, false};
};
