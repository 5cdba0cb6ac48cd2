#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class SecureStore;
class DriveSession;

// Reports the end of an authorization: a success flag and a UTF-8 message
// for the status line. Called exactly once per attempt, normally on the
// client's own thread, so it must not touch windows itself.
using CompletionCallback = std::function<void(bool, const std::string&)>;

// Says, as a UTF-8 status text, why the authorization was just forgotten (the
// provider no longer accepts it, or it was made with another OAuth client).
// Called on whichever thread found out, the constructor's included; must not
// block. Never called for the user's own Disconnect.
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

// Opens a URL in the user's browser and returns at once; false when the
// browser could not be started.
using BrowserLauncher = std::function<bool(const std::string& url)>;

// Seconds since the Unix epoch (the scale of time()).
using EpochClock = std::function<int64_t()>;

// Waits between token refresh attempts.
using RetryPause = std::function<void(std::chrono::milliseconds)>;

// The provider's services. Tests point these at a loopback server.
struct DriveEndpoints {
    std::string authUrl;    // consent page opened in the browser
    std::string tokenUrl;   // authorization-code and refresh-token grants
    std::string filesUrl;   // folder search and creation
    std::string uploadUrl;  // multipart upload, without its query
    std::string scope;

    // The endpoints fixed when the program was built.
    static DriveEndpoints Default();
};

// The installed-application OAuth client that every token request names: the
// user's own client file when there is one, else the built-in client.
struct DriveCredentials {
    std::string clientId;
    std::string clientSecret;

    // The identifier and secret built into the program (empty when the build
    // was given none).
    static DriveCredentials BuiltIn();
};

struct DriveTimings {
    std::chrono::milliseconds requestTimeout{15000};      // token and Drive JSON requests
    std::chrono::milliseconds uploadTimeout{30000};       // the multipart upload
    std::chrono::milliseconds retryPause{3000};           // between refresh attempts
    std::chrono::milliseconds redirectWait{std::chrono::minutes(5)};  // for the browser's redirect
    std::chrono::milliseconds connectionReadTimeout{10000};  // per connection to the redirect listener
    std::chrono::milliseconds shutdownGrace{2000};        // destructor's wait for running threads
};

// Everything the client takes from outside. Empty members mean the real thing.
struct DriveClientOptions {
    DriveEndpoints endpoints = DriveEndpoints::Default();
    DriveCredentials credentials = DriveCredentials::BuiltIn();
    std::string clientFilePath;                // empty: $XDG_CONFIG_HOME/Orvanta/google-oauth-client.json
    std::shared_ptr<SecureStore> secureStore;  // null: the system's secure store
    BrowserLauncher launchBrowser;             // empty: xdg-open
    EpochClock now;                            // empty: time(nullptr)
    RetryPause pause;                          // empty: a wait that destruction cuts short
    AuthorizationLostCallback onAuthorizationLost;  // may be empty
    DriveTimings timings;
};

// One request that reached the authorization redirect listener.
struct RedirectRequest {
    enum class Kind {
        Incomplete,  // the header block has not ended yet
        Callback,    // a GET of /oauth2callback
        Other,       // anything else: answered with 404
    };
    Kind kind = Kind::Incomplete;
    // Query values of a callback, percent-decoded; empty when absent.
    std::string code;
    std::string state;
    std::string error;
};

// The Google Drive client: OAuth authorization through a loopback redirect,
// token storage and refresh, folder lookup and JPEG upload.
//
// Threading: the public operations may be called from any thread. Authenticate
// returns at once and runs on a detached thread that shares the client's
// state; UploadJpeg blocks its caller. Destroying the client ends a waiting
// authorization, aborts running transfers and waits briefly
// (timings.shutdownGrace) for those threads and calls, whose completions may
// still be called during or after destruction.
// Lock order inside: folder lock, then refresh lock, then token lock, then the
// configuration store's lock.
class GoogleDriveUploader {
public:
    GoogleDriveUploader();
    explicit GoogleDriveUploader(DriveClientOptions options);
    ~GoogleDriveUploader();

    GoogleDriveUploader(const GoogleDriveUploader&) = delete;
    GoogleDriveUploader& operator=(const GoogleDriveUploader&) = delete;

    // True while a refresh token is held.
    bool IsAuthenticated() const;

    // Reads the refresh token from the secure store and the access token and
    // its expiry from the configuration store; true when a refresh token was
    // found. Tokens obtained with another OAuth client than the one in use now
    // (the client file's, else the built-in one) are forgotten.
    bool LoadTokens();
    // Writes the access token and its expiry to the configuration store.
    void SaveTokens();
    // Forgets every token in memory and in both stores. No request is made.
    void Disconnect();

    // Starts one authorization attempt in the browser; returns at once. The
    // client file is read again first: a file that cannot be used fails the
    // attempt at once and leaves the stored tokens as they are.
    void Authenticate(CompletionCallback onDone);
    // Where the user's own client file is looked for.
    std::string ClientFilePath() const;
    // True when Authenticate has a client to name: a client file or built-in credentials.
    bool HasCredentials() const;
    // Trades an authorization code (with its PKCE verifier) for tokens and
    // stores the refresh token. Blocks for one request.
    bool ExchangeCodeForTokens(const std::string& code, const std::string& redirectUri,
                               const std::string& codeVerifier);

    // True when the access token may be used now, refreshing it if it has
    // 60 seconds or less left. May block for a whole refresh.
    bool EnsureValidToken();
    bool RefreshAccessToken();

    // Uploads one JPEG as fileName into the "Orvanta" folder. With
    // lookUpFirst, Drive is first asked whether that folder already holds
    // these very bytes (after an Unknown outcome). Blocking; one caller thread
    // at a time. Returns soon (about a second) after cancel becomes true.
    UploadResult UploadJpeg(const std::vector<uint8_t>& jpeg, const std::string& fileName,
                            bool lookUpFirst, const std::atomic<bool>& cancel);
    // The cached folder identifier, or one found or created now; empty when
    // Drive could not tell. Only a search that succeeds and finds none creates it.
    std::string EnsureFolderExists();

    // Listens on a free port of 127.0.0.1; returns the port, or -1 (socketFd
    // then holds no open socket). The caller owns the socket.
    static int BindFreePort(int& socketFd);
    // Reads what a browser sent to the redirect listener so far.
    static RedirectRequest ParseRedirectRequest(const std::string& received);

    // One blocking request each, at most timeout long; the response body, or
    // what arrived of it (usually nothing) on failure. The status is not returned.
    static std::string Get(const std::string& url, const std::vector<std::string>& headerLines,
                           std::chrono::milliseconds timeout = std::chrono::seconds(15));
    static std::string Post(const std::string& url, const std::string& body,
                            const std::vector<std::string>& headerLines,
                            std::chrono::milliseconds timeout = std::chrono::seconds(15));

    // Percent-encoding of query and form values: RFC 3986's unreserved
    // characters pass, every other byte becomes %XX.
    static std::string UrlEncode(const std::string& value);
    // The value of the first "key" in a JSON text, by plain string search;
    // quoted values verbatim, bare values up to , } or a line end. Empty when absent.
    static std::string ExtractJsonField(const std::string& json, const std::string& key);
    // The "id" of the first element of the "files" array; empty when none.
    static std::string ExtractFirstFileId(const std::string& json);

private:
    std::shared_ptr<DriveSession> session;
};
