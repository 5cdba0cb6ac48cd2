#pragma once

#include "AnalyticsConfig.h"

#include <mutex>
#include <string>

// Posts anonymous usage events to a GA4 Measurement Protocol endpoint.
//
// Each event is one POST on its own easy handle; a failed event is reported
// on standard output and lost. Results go to standard output as lines that
// begin with "[Analytics] ", flushed as written.
class GoogleAnalyticsClient {
public:
    // `endpointUrl` is the collection URL without query; the build-time one
    // by default.
    explicit GoogleAnalyticsClient(std::string endpointUrl = DefaultAnalyticsEndpoint());

    // Does not wait for event threads: they own copies of all they use.
    ~GoogleAnalyticsClient() = default;

    GoogleAnalyticsClient(const GoogleAnalyticsClient&) = delete;
    GoogleAnalyticsClient& operator=(const GoogleAnalyticsClient&) = delete;

    // Replaces the three identifiers. The session identifier is set by the
    // first call and kept by later ones. Any thread; the application calls it
    // once on the GUI thread before the first event.
    void Configure(std::string measurementId, std::string apiSecret, std::string clientId);

    // Sends on a new detached thread and returns at once. If no thread can be
    // started, the event is dropped with a "failed" line.
    void TrackEvent(const std::string& name) const;

    // Sends on the calling thread; returns when the request has finished or
    // failed, after at most about 10 seconds.
    void TrackEventSync(const std::string& name) const;

    // Common path of the two above. The custom string parameter is sent only
    // when `paramName` is not empty. Nothing is sent or printed while the
    // client is unconfigured or `name` is empty.
    void TrackEventImpl(const std::string& name, const std::string& paramName,
                        const std::string& paramValue, bool async) const;

    // A new anonymous client identifier: two lower-case hexadecimal numbers
    // joined by a full stop.
    static std::string GenerateClientId();

    // Escapes for use inside a JSON string: quote, backslash and the five
    // short control escapes; every other byte is copied unchanged.
    static std::string EscapeJson(const std::string& text);

private:
    // Guards the four strings below; never held across a request.
    mutable std::mutex mutex;
    std::string measurementId;
    std::string apiSecret;
    std::string clientId;
    std::string sessionId;

    // Set at construction and never changed, so read without the lock.
    const std::string endpointUrl;
};
