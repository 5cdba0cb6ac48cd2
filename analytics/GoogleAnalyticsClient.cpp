#include "GoogleAnalyticsClient.h"

#include "HttpRequest.h"

#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <random>
#include <system_error>
#include <thread>
#include <utility>

namespace {

constexpr std::chrono::seconds kRequestTimeout{10};
constexpr long kFirstErrorStatus = 400;

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
    const std::string url = post.endpointUrl + "?measurement_id=" + UrlEncode(post.measurementId)
                            + "&api_secret=" + UrlEncode(post.apiSecret);
    const std::string body = BuildBody(post);
    const HttpResponse response = PerformHttpRequest(url, body.data(), body.size(),
                                                     {"Content-Type: application/json"}, kRequestTimeout);

    // Flushed at once so that the lines can be followed through a pipe.
    if (!response.Transferred() || response.status >= kFirstErrorStatus) {
        std::printf("[Analytics] Event '%s' failed: curl=%d status=%ld\n", post.name.c_str(),
                    response.curlCode, response.status);
    } else {
        std::printf("[Analytics] Event '%s' sent successfully.\n", post.name.c_str());
    }
    std::fflush(stdout);
}

}  // namespace

GoogleAnalyticsClient::GoogleAnalyticsClient(std::string endpointUrl)
    : endpointUrl(std::move(endpointUrl))
{
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
