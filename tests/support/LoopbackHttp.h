#pragma once

// HTTP/1.1 on 127.0.0.1 for the tests and benchmarks: a recording server
// answering through a handler, a blocking GET client, and the URL and form
// encodings both speak. Compiled with the project's flags so that the
// sanitizers see every thread and every byte of it.

#include "LoopbackPorts.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// One request as the server read it.
struct RecordedRequest {
    std::string method;
    std::string target;  // path and query as received
    std::string path;
    std::multimap<std::string, std::string> params;  // decoded query
    HttpHeaders headers;  // in the order received
    std::string body;
    std::string raw;  // request line, header block and body, byte for byte

    // The first value of the header of this name (case-insensitive), or empty.
    std::string Header(const std::string& name) const;
    std::vector<std::string> HeaderValues(const std::string& name) const;
};

// How the server answers one request; a status alone is a reply too.
struct HttpReply {
    HttpReply(int status = 200, std::string body = {}, std::string contentType = {})
        : status(status), body(std::move(body)), contentType(std::move(contentType))
    {
    }

    int status;
    std::string body;
    std::string contentType;  // no Content-Type line when empty
    HttpHeaders headers;      // further header lines
    std::chrono::milliseconds delay{0};  // wait this long before answering
    bool silent = false;  // never answer; the connection stays open until the server goes
    std::string raw;      // when not empty, sent verbatim instead of all of the above

    static HttpReply Raw(std::string bytes);
    static HttpReply Silent();
};

// An HTTP/1.1 server on 127.0.0.1 at a port the kernel picks. Each
// connection gets a thread of its own and carries one request: the server
// reads it (answering "Expect: 100-continue" first), records it, asks the
// handler, answers with "Connection: close" and closes.
//
// The handler runs on connection threads, possibly several at once. It may
// block, but whoever makes it block must release it before the server is
// destroyed. Destruction shuts every connection down, ends the server's own
// waits (Hold, delay, silent) and joins all threads; a client that never
// speaks does not hold it up. Every other member may be called from any thread.
class LoopbackHttpServer {
public:
    using Handler = std::function<HttpReply(const RecordedRequest&)>;

    // Answers every request with a fixed reply (SetReply changes it).
    explicit LoopbackHttpServer(HttpReply reply = {});
    // keepRequests false: nothing is recorded, for servers that run for hours.
    explicit LoopbackHttpServer(Handler handler, bool keepRequests = true);
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    // The port, or -1 if the server could not listen.
    int Port() const { return port; }
    std::string Url(const std::string& path = "/") const;

    // The fixed reply for requests that arrive from now on.
    void SetReply(HttpReply reply);
    // While held, requests are recorded but not answered until Release() or,
    // so that a faulty client cannot hang a suite, until maxHold passes.
    void Hold(std::chrono::milliseconds maxHold);
    void Release();

    // Waits until at least count requests were recorded.
    bool WaitForRequests(size_t count, std::chrono::milliseconds timeout) const;
    std::vector<RecordedRequest> Requests() const;

private:
    struct Connection {
        int fd;  // closed and set to -1 under the mutex by its own thread
        std::thread thread;
    };

    void AcceptLoop();
    void Serve(Connection& connection);

    const Handler handler;
    const bool keepRequests;
    int listenFd = -1;
    int port = -1;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool stopping = false;
    HttpReply fixedReply;
    bool holding = false;
    std::chrono::milliseconds maxHold{0};
    std::vector<RecordedRequest> requests;
    std::list<Connection> connections;

    std::thread acceptor;
};

// A response as the client read it.
struct HttpGetResult {
    int status = 0;  // 0 when no response came
    HttpHeaders headers;
    std::string body;

    std::string Header(const std::string& name) const;
};

// GETs an http://127.0.0.1:port/... (or localhost) URL, sending the path and
// query exactly as written, and reads the response until the server closes
// or the time-out passes. Follows up to five redirects to such URLs when
// asked; any other host is refused without a connection.
HttpGetResult HttpGet(const std::string& url, bool followRedirects = false,
                      const HttpHeaders& headers = {},
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Percent-encodes every byte outside the unreserved set.
std::string FormEncode(const std::string& value);
// name=value pairs separated by '&', decoded, in their order.
std::vector<std::pair<std::string, std::string>> ParseForm(const std::string& text);
std::string FormValue(const std::vector<std::pair<std::string, std::string>>& form,
                      const std::string& name);

// The query value of a URL, decoded; empty when absent.
std::string QueryValue(const std::string& url, const std::string& name);
// The port of an http://host:port/... URL, or -1 when it names none.
int UrlPort(const std::string& url);
