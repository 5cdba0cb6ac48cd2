#pragma once

// libcurl transfers of the Drive client (internal to drive/).

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

struct HttpResponse {
    bool transferred = false;  // the transfer ended without a transport error
    std::string body;          // what arrived, complete or not
};

// One blocking request on its own easy handle: a GET when postBody is null,
// otherwise a POST of postSize bytes (sent without copying; they must live
// until the call returns). Header lines go out in vector order. A set
// abortFlag ends the transfer within about a second.
HttpResponse PerformHttpRequest(const std::string& url, const void* postBody, size_t postSize,
                                const std::vector<std::string>& headerLines,
                                std::chrono::milliseconds timeout,
                                const std::atomic<bool>* abortFlag);
