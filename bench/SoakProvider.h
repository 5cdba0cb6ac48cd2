#pragma once

// A lean loopback stand-in for the OAuth token endpoint and the Drive API,
// for runs that last hours: it speaks the same protocol as the test suite's
// fake provider (refresh-token grant, folder search and creation, multipart
// upload) but keeps only counters, never the uploaded files, so its own
// memory stays flat however many frames arrive. Requests are served on
// cpp-httplib's worker threads; every accessor may be called from any thread.

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}

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

    // Listens on 127.0.0.1 at a free port; false from IsListening when no
    // port could be bound.
    SoakProvider();
    ~SoakProvider();
    SoakProvider(const SoakProvider&) = delete;
    SoakProvider& operator=(const SoakProvider&) = delete;

    bool IsListening() const { return port > 0; }
    std::string BaseUrl() const;

    // Registers a refresh token that the token endpoint accepts.
    std::string AddRefreshToken();

    Counts Snapshot() const;
    // Why the provider last refused a request, or empty.
    std::string LastRefusal() const;

private:
    void Token(const httplib::Request& request, httplib::Response& response);
    void Search(const httplib::Request& request, httplib::Response& response);
    void Create(const httplib::Request& request, httplib::Response& response);
    void Upload(const httplib::Request& request, httplib::Response& response);
    // Called with the mutex held.
    bool Authorized(const httplib::Request& request, httplib::Response& response);
    void Refuse(httplib::Response& response, int status, const std::string& why);

    std::unique_ptr<httplib::Server> server;
    std::thread listener;
    int port = 0;

    mutable std::mutex mutex;
    int issued = 0;
    std::set<std::string> refreshTokens;
    std::set<std::string> accessTokens;
    std::vector<std::string> folderIds;
    Counts counts;
    std::string lastRefusal;
};
