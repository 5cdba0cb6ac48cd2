#include "GoogleAnalyticsClient.h"

#include <curl/curl.h>

#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <system_error>
#include <thread>
#include <utility>

namespace {

constexpr long kRequestTimeoutS = 10;
constexpr long kFirstErrorStatus = 400;

struct CurlEasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlSlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlEasyPtr = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlSlistPtr = std::unique_ptr<curl_slist, CurlSlistDeleter>;

size_t AnalyticsWriteCb(char* data, size_t size, size_t count, void* userPointer)
{
    static_cast<std::string*>(userPointer)->append(data, size * count);
    return size * count;
}

// Everything one event post needs, copied out of the client so that the post
// may outlive it.
struct EventPost {
    std::string endpointUrl;
    std::string measurementId;
    std::string apiSecret;
    std::string clientId;
    std::string sessionId;
    std::string name;
    std::string paramName;
    std::string paramValue;
};

std::string BuildBody(const EventPost& post)
{
    std::string body = "{\"client_id\":\"" + GoogleAnalyticsClient::EscapeJson(post.clientId);
    body += "\",\"events\":[{\"name\":\"" + GoogleAnalyticsClient::EscapeJson(post.name);
    body += "\",\"params\":{\"engagement_time_msec\":100,\"session_id\":\"" +
            GoogleAnalyticsClient::EscapeJson(post.sessionId) + "\"";
    if (!post.paramName.empty()) {
        body += ",\"" + GoogleAnalyticsClient::EscapeJson(post.paramName) + "\":\"" +
                GoogleAnalyticsClient::EscapeJson(post.paramValue) + "\"";
    }
    body += "}}]}";
    return body;
}

// Runs on the event thread, or on the caller's thread for a synchronous event.
void SendEvent(const EventPost& post)
{
    CurlEasyPtr handle(curl_easy_init());
    if (!handle)
        return;

    const std::string url = post.endpointUrl +
                            "?measurement_id=" + GoogleAnalyticsClient::UrlEncode(post.measurementId) +
                            "&api_secret=" + GoogleAnalyticsClient::UrlEncode(post.apiSecret);
    const std::string body = BuildBody(post);
    CurlSlistPtr headers(curl_slist_append(nullptr, "Content-Type: application/json"));
    if (!headers)
        return;
    std::string response;

    CURL* h = handle.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, AnalyticsWriteCb);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, kRequestTimeoutS);

    const CURLcode result = curl_easy_perform(h);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    headers.reset();
    handle.reset();

    // Flushed at once so that the lines can be followed through a pipe.
    if (result != CURLE_OK || status >= kFirstErrorStatus) {
        std::printf("[Analytics] Event '%s' failed: curl=%d status=%ld\n", post.name.c_str(),
                    static_cast<int>(result), status);
    } else {
        std::printf("[Analytics] Event '%s' sent successfully.\n", post.name.c_str());
    }
    std::fflush(stdout);
}

}  // namespace

GoogleAnalyticsClient::GoogleAnalyticsClient(std::string endpointUrl)
    : endpointUrl(std::move(endpointUrl))
{
    static std::once_flag curlInit;
    std::call_once(curlInit, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

void GoogleAnalyticsClient::Configure(std::string measurementId, std::string apiSecret,
                                      std::string clientId)
{
    std::lock_guard<std::mutex> lock(mutex);
    this->measurementId = std::move(measurementId);
    this->apiSecret = std::move(apiSecret);
    this->clientId = std::move(clientId);
    if (sessionId.empty()) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        sessionId = std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now).count());
    }
}

void GoogleAnalyticsClient::TrackEvent(const std::string& name) const
{
    TrackEventImpl(name, std::string(), std::string(), true);
}

void GoogleAnalyticsClient::TrackEventSync(const std::string& name) const
{
    TrackEventImpl(name, std::string(), std::string(), false);
}

void GoogleAnalyticsClient::TrackEventImpl(const std::string& name, const std::string& paramName,
                                           const std::string& paramValue, bool async) const
{
    EventPost post;
    {
        std::lock_guard<std::mutex> lock(mutex);
        post.measurementId = measurementId;
        post.apiSecret = apiSecret;
        post.clientId = clientId;
        post.sessionId = sessionId;
    }
    if (post.measurementId.empty() || post.apiSecret.empty() || post.clientId.empty() ||
        post.sessionId.empty() || name.empty()) {
        return;
    }
    post.endpointUrl = endpointUrl;
    post.name = name;
    post.paramName = paramName;
    post.paramValue = paramValue;

    if (!async) {
        SendEvent(post);
        return;
    }
    // The caller may be the GUI thread at start-up: telemetry must never take
    // the program down, so a thread that cannot be started only loses the event.
    try {
        std::thread([post = std::move(post)] { SendEvent(post); }).detach();
    } catch (const std::system_error& error) {
        std::printf("[Analytics] Event '%s' failed: could not start thread: %s\n", name.c_str(),
                    error.what());
        std::fflush(stdout);
    }
}

std::string GoogleAnalyticsClient::GenerateClientId()
{
    std::random_device device("/dev/urandom");
    std::mt19937_64 generator(device());
    std::uniform_int_distribution<std::uint64_t> distribution;
    const std::uint64_t first = distribution(generator);
    const std::uint64_t second = distribution(generator);

    char text[2 * 16 + 2];
    std::snprintf(text, sizeof text, "%" PRIx64 ".%" PRIx64, first, second);
    return text;
}

std::string GoogleAnalyticsClient::EscapeJson(const std::string& text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '"': escaped += "\\\""; break;
        case '\\': escaped += "\\\\"; break;
        case '\b': escaped += "\\b"; break;
        case '\f': escaped += "\\f"; break;
        case '\n': escaped += "\\n"; break;
        case '\r': escaped += "\\r"; break;
        case '\t': escaped += "\\t"; break;
        default: escaped += c; break;
        }
    }
    return escaped;
}

std::string GoogleAnalyticsClient::UrlEncode(const std::string& text)
{
    // ASCII ranges rather than isalnum: the GUI toolkit switches the process
    // to the user's locale, where isalnum may accept bytes above 0x7F.
    std::string encoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                                (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
                                byte == '_' || byte == '~';
        if (unreserved) {
            encoded += c;
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", byte);
            encoded += escape;
        }
    }
    return encoded;
}
