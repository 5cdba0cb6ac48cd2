#pragma once

// The program's one way to make an HTTP request. Every transfer has its own
// easy handle, a time-out, optional abort flags and no signals (libcurl's
// default name resolution would otherwise time out through SIGALRM, which a
// threaded program cannot have). libcurl is set up once per process, on first use.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

struct HttpResponse {
    int curlCode = -1;      // the transfer's CURLcode: 0 (CURLE_OK) when it ended normally
    long status = 0;        // the answer's HTTP status; 0 when none arrived
    bool bodySent = false;  // some of the request body left this process
    std::string body;       // what arrived, complete or not

    bool Transferred() const { return curlCode == 0; }
    bool Succeeded() const { return Transferred() && status >= 200 && status < 300; }
};

// One blocking request, at most timeout long, on the calling thread (any
// thread): a GET when postBody is null, otherwise a POST of postSize bytes
// (sent without copying; they must live until the call returns). Header lines
// go out in vector order. Setting either flag (each may be null) ends the
// transfer within about a second. Never throws: a failed allocation fails the
// request.
HttpResponse PerformHttpRequest(const std::string& url, const void* postBody, size_t postSize,
                                const std::vector<std::string>& headerLines,
                                std::chrono::milliseconds timeout,
                                const std::atomic<bool>* abortFlag = nullptr,
                                const std::atomic<bool>* cancelFlag = nullptr);

// Percent-encoding of query and form values: RFC 3986's unreserved
// characters pass, every other byte becomes %XX. Throws std::bad_alloc when
// memory runs out, as std::string does.
std::string UrlEncode(const std::string& value);

// Why a request failed, for a log line: libcurl's words for a transfer that
// did not end normally, else "HTTP <status>".
std::string FailureDetail(const HttpResponse& response);
