#pragma once

// libcurl transfers of the Drive client (internal to drive/).

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
};

// One blocking request on its own easy handle: a GET when postBody is null,
// otherwise a POST of postSize bytes (sent without copying; they must live
// until the call returns). Header lines go out in vector order. Setting either
// abort flag (each may be null) ends the transfer within about a second.
HttpResponse PerformHttpRequest(const std::string& url, const void* postBody, size_t postSize,
                                const std::vector<std::string>& headerLines,
                                std::chrono::milliseconds timeout,
                                const std::atomic<bool>* abortFlag,
                                const std::atomic<bool>* cancelFlag = nullptr);
