#include "HttpRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>

namespace {

// Before any other libcurl call of ours; our own threads never race into it.
void InitCurlOnce()
{
    static std::once_flag done;
    std::call_once(done, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

struct CurlEasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlSlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CurlTextDeleter {
    void operator()(char* text) const { curl_free(text); }
};

// One request's handle and header list, the only owner of both; the list goes
// before the handle.
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
    InitCurlOnce();
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

std::string UrlEncode(const std::string& value)
{
    InitCurlOnce();
    std::string encoded;
    // curl_easy_escape takes an int length; every byte is encoded on its own,
    // so pieces give the same text as the whole.
    constexpr size_t kPiece = 1 << 20;
    for (size_t at = 0; at < value.size(); at += kPiece) {
        const size_t length = std::min(kPiece, value.size() - at);
        const std::unique_ptr<char, CurlTextDeleter> piece(
            curl_easy_escape(nullptr, value.data() + at, static_cast<int>(length)));
        if (!piece)
            throw std::bad_alloc();
        encoded += piece.get();
    }
    return encoded;
}

std::string FailureDetail(const HttpResponse& response)
{
    if (!response.Transferred())
        return response.curlCode < 0 ? "no transfer"
                                     : curl_easy_strerror(static_cast<CURLcode>(response.curlCode));
    return "HTTP " + std::to_string(response.status);
}
