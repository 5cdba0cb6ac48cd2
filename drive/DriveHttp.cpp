#include "DriveHttp.h"

#include "GoogleDriveUploader.h"

#include <curl/curl.h>

#include <memory>
#include <new>

namespace {

struct CurlEasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlSlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// One request's handle and header list; the list goes before the handle.
struct CurlRequest {
    std::unique_ptr<CURL, CurlEasyDeleter> handle{curl_easy_init()};
    std::unique_ptr<curl_slist, CurlSlistDeleter> headers;

    ~CurlRequest()
    {
        headers.reset();
        handle.reset();
    }
};

size_t CurlWriteCb(char* data, size_t size, size_t count, void* userPointer)
{
    const size_t bytes = size * count;
    try {
        static_cast<std::string*>(userPointer)->append(data, bytes);
    } catch (const std::bad_alloc&) {
        // Exceptions must not cross libcurl's C frames; a short count aborts.
        return 0;
    }
    return bytes;
}

struct AbortFlags {
    const std::atomic<bool>* first;
    const std::atomic<bool>* second;
};

int CurlAbortCb(void* userPointer, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    const auto* flags = static_cast<const AbortFlags*>(userPointer);
    return (flags->first && flags->first->load()) || (flags->second && flags->second->load()) ? 1 : 0;
}

}  // namespace

HttpResponse PerformHttpRequest(const std::string& url, const void* postBody, size_t postSize,
                                const std::vector<std::string>& headerLines,
                                std::chrono::milliseconds timeout,
                                const std::atomic<bool>* abortFlag,
                                const std::atomic<bool>* cancelFlag)
{
    HttpResponse response;
    CurlRequest request;
    CURL* curl = request.handle.get();
    if (!curl)
        return response;
    for (const std::string& line : headerLines) {
        curl_slist* extended = curl_slist_append(request.headers.get(), line.c_str());
        if (!extended)
            return response;
        request.headers.release();
        request.headers.reset(extended);
    }

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    if (postBody) {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, postBody);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(postSize));
    } else {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, request.headers.get());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CurlWriteCb);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response.body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    // Several threads run transfers at once: no signals for time-outs.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    AbortFlags flags{abortFlag, cancelFlag};
    if (abortFlag || cancelFlag) {
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, CurlAbortCb);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &flags);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    }
    response.curlCode = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
    curl_off_t uploaded = 0;
    curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    response.bodySent = uploaded > 0;
    return response;
}

std::string GoogleDriveUploader::Get(const std::string& url,
                                     const std::vector<std::string>& headerLines,
                                     std::chrono::milliseconds timeout)
{
    return PerformHttpRequest(url, nullptr, 0, headerLines, timeout, nullptr).body;
}

std::string GoogleDriveUploader::Post(const std::string& url, const std::string& body,
                                      const std::vector<std::string>& headerLines,
                                      std::chrono::milliseconds timeout)
{
    return PerformHttpRequest(url, body.data(), body.size(), headerLines, timeout, nullptr).body;
}
