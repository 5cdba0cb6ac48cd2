#pragma once

// What the Drive client is handed (its options) and what it answers.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class SecureStore;
class SettingsStore;

// The end of an authorization: success and a UTF-8 status text. Called once per
// attempt, normally on the client's own thread: it must not touch windows.
using CompletionCallback = std::function<void(bool, const std::string&)>;
// Why the client forgot the authorization by itself (the provider no longer
// accepts it, or another OAuth client made it), as a UTF-8 status text. Called
// on whichever thread found out, the constructor's included; must not block.
// Never called for the user's own Disconnect.
using AuthorizationLostCallback = std::function<void(const std::string& reason)>;

// What one upload attempt came to, for the caller that keeps the picture.
enum class UploadOutcome {
    Stored,         // Drive holds the picture: sent now, or found by the look-up
    NotSent,        // certainly not stored (Drive unreachable, busy, folder or token gone)
    Unknown,        // the body was sent but no answer confirmed it: look it up first next time
    Refused,        // Drive refuses this very picture
    DriveFull,      // the Drive storage quota is exceeded
    NotAuthorized,  // no authorization is held, or it was just forgotten
    Cancelled,      // the cancel flag ended the attempt before the picture was sent
};

struct UploadResult {
    UploadOutcome outcome = UploadOutcome::NotSent;
    std::string message;  // UTF-8, for the status line
};

// The provider's services; tests point them at a loopback server.
struct DriveEndpoints {
    std::string authUrl;    // consent page opened in the browser
    std::string tokenUrl;   // authorization-code and refresh-token grants
    std::string filesUrl;   // folder search and creation, look-ups
    std::string uploadUrl;  // multipart upload, without its query
    std::string scope;
    static DriveEndpoints Default();  // fixed when the program was built
};

// The installed-application OAuth client that token requests name.
struct DriveCredentials {
    std::string clientId;
    std::string clientSecret;
    static DriveCredentials BuiltIn();  // fixed when the program was built; may be empty
};

struct DriveTimings {
    std::chrono::milliseconds requestTimeout{15000};         // token and Drive JSON requests
    std::chrono::milliseconds uploadTimeout{30000};          // the multipart upload
    std::chrono::milliseconds retryPause{3000};              // between refresh attempts
    std::chrono::milliseconds redirectWait{std::chrono::minutes(5)};  // for the browser's redirect
    std::chrono::milliseconds connectionReadTimeout{10000};  // per connection to the redirect listener
    std::chrono::milliseconds shutdownGrace{2000};           // destructor's wait for running threads
};

// Everything the client takes from outside. Empty members mean the real thing,
// except settings: null keeps nothing between runs.
struct DriveClientOptions {
    DriveEndpoints endpoints = DriveEndpoints::Default();
    DriveCredentials credentials = DriveCredentials::BuiltIn();
    std::string clientFilePath;                // empty: <ConfigFolder()>/Orvanta/google-oauth-client.json
    std::shared_ptr<SecureStore> secureStore;  // the refresh token; null: the system's secure store
    // The access token, its expiry, the client id that obtained them and the
    // lapsed state ("/GoogleDrive/..."). Called on the client's threads too.
    std::shared_ptr<SettingsStore> settings;
    std::function<bool(const std::string& url)> launchBrowser;  // returns at once; empty: the desktop's opener
    std::function<int64_t()> now;                      // seconds since the epoch; empty: time(nullptr)
    std::function<void(std::chrono::milliseconds)> pause;  // between refreshes; empty: cut short by destruction
    AuthorizationLostCallback onAuthorizationLost;     // may be empty
    DriveTimings timings;
};
