#include "GoogleDriveUploader.h"

#include "ConfigStoreLock.h"
#include "DriveBuildConfig.h"
#include "DriveClientFile.h"
#include "DriveSession.h"
#include "SecureStore.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>
#include <wx/config.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <limits>
#include <thread>
#include <utility>

namespace {

const char kStoreService[] = "com.tesselwick.orvanta.GoogleDrive";
const char kStoreAccount[] = "refresh_token";
const char kAccessTokenKey[] = "/GoogleDrive/AccessToken";
const char kTokenExpiryKey[] = "/GoogleDrive/TokenExpiry";
const char kClientIdKey[] = "/GoogleDrive/ClientId";
const char kFormContentType[] = "Content-Type: application/x-www-form-urlencoded";

constexpr int64_t kValidityMarginSec = 60;
constexpr int64_t kDefaultLifetimeSec = 3600;
constexpr int kRefreshAttempts = 3;
// How often a retry pause looks at a caller's cancel flag, which nothing signals.
constexpr std::chrono::milliseconds kCancelPollInterval{100};
// Stored expiry moments beyond this are treated as absent, which keeps the
// arithmetic on them far from overflow.
constexpr int64_t kExpiryLimit = int64_t{1} << 62;

const char kLapsedText[] = "Google Drive sign-in has lapsed — connect again";
const char kClientRefusedText[] =
    "Google Drive no longer accepts the OAuth client of the sign-in — connect again";
const char kOtherClientText[] =
    "Google Drive sign-in was made with another OAuth client — connect again";

std::string ToUtf8(const wxString& text)
{
    const wxScopedCharBuffer utf8 = text.utf8_str();
    return std::string(utf8.data(), utf8.length());
}

wxString FromUtf8(const std::string& text)
{
    return wxString::FromUTF8(text.data(), text.size());
}

// The lifetime in an "expires_in" value, or the default when it is absent or
// not a number.
int64_t LifetimeFrom(const std::string& expiresIn)
{
    int64_t seconds = 0;
    if (expiresIn.empty()
        || !ParseLeadingInteger(expiresIn, std::numeric_limits<int>::min() + int64_t{1},
                                std::numeric_limits<int>::max(), seconds))
        return kDefaultLifetimeSec;
    return seconds;
}

std::shared_ptr<SecureStore> OrSystemStore(std::shared_ptr<SecureStore> store)
{
    if (store)
        return store;
    return std::shared_ptr<SecureStore>(CreateSystemSecureStore());
}

// Marks a blocking call made on the caller's thread as running in the session.
class SessionCall {
public:
    explicit SessionCall(std::shared_ptr<DriveSession> session) : session(std::move(session))
    {
        this->session->ThreadStarted();
    }
    ~SessionCall() { session->ThreadFinished(); }
    SessionCall(const SessionCall&) = delete;
    SessionCall& operator=(const SessionCall&) = delete;

    DriveSession* operator->() const { return session.get(); }

private:
    const std::shared_ptr<DriveSession> session;
};

// Runs body on a detached thread that holds the session alive.
template <typename Body>
void StartSessionThread(const std::shared_ptr<DriveSession>& session, Body body)
{
    session->ThreadStarted();
    try {
        std::thread([session, body = std::move(body)]() {
            body(*session);
            session->ThreadFinished();
        }).detach();
    } catch (...) {
        session->ThreadFinished();
        throw;
    }
}

}  // namespace

void UniqueFd::Reset()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool ParseLeadingInteger(const std::string& text, int64_t minValue, int64_t maxValue,
                         int64_t& value)
{
    size_t i = 0;
    while (i < text.size()
           && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size() || text[i] < '0' || text[i] > '9')
        return false;
    // minValue is above INT64_MIN, so both limits fit in a positive int64_t.
    const uint64_t limit = negative ? static_cast<uint64_t>(-minValue) : static_cast<uint64_t>(maxValue);
    uint64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const auto digit = static_cast<uint64_t>(text[i] - '0');
        if (magnitude > (limit - digit) / 10)
            return false;
        magnitude = magnitude * 10 + digit;
    }
    value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    return value >= minValue && value <= maxValue;
}

void DriveLog(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

DriveEndpoints DriveEndpoints::Default()
{
    return {ORVANTA_OAUTH_AUTH_URL, ORVANTA_OAUTH_TOKEN_URL, ORVANTA_DRIVE_FILES_URL,
            ORVANTA_DRIVE_UPLOAD_URL, "https://www.googleapis.com/auth/drive.file"};
}

DriveCredentials DriveCredentials::BuiltIn()
{
    return {ORVANTA_GOOGLE_CLIENT_ID, ORVANTA_GOOGLE_CLIENT_SECRET};
}

// ---------------------------------------------------------------------------
// GoogleDriveUploader: the window's handle on a shared session.

GoogleDriveUploader::GoogleDriveUploader() : GoogleDriveUploader(DriveClientOptions()) {}

GoogleDriveUploader::GoogleDriveUploader(DriveClientOptions options)
    : session(std::make_shared<DriveSession>(std::move(options)))
{
    static std::once_flag curlInit;
    std::call_once(curlInit, [] { curl_global_init(CURL_GLOBAL_ALL); });
    session->LoadTokens();
}

GoogleDriveUploader::~GoogleDriveUploader()
{
    session->BeginShutdown();
    session->WaitForThreads();
}

bool GoogleDriveUploader::IsAuthenticated() const { return session->IsAuthenticated(); }
bool GoogleDriveUploader::LoadTokens() { return session->LoadTokens(); }
void GoogleDriveUploader::SaveTokens() { session->SaveTokens(); }
void GoogleDriveUploader::Disconnect() { session->Disconnect(); }
bool GoogleDriveUploader::EnsureValidToken() { return session->EnsureValidToken(kNeverCancelled); }
bool GoogleDriveUploader::RefreshAccessToken() { return session->RefreshAccessToken(kNeverCancelled); }
std::string GoogleDriveUploader::EnsureFolderExists()
{
    return session->EnsureFolderExists(kNeverCancelled);
}

UploadResult GoogleDriveUploader::UploadJpeg(const std::vector<uint8_t>& jpeg,
                                             const std::string& fileName, bool lookUpFirst,
                                             const std::atomic<bool>& cancel)
{
    const SessionCall call(session);
    return call->UploadJpeg(jpeg, fileName, lookUpFirst, cancel);
}

bool GoogleDriveUploader::ExchangeCodeForTokens(const std::string& code,
                                                const std::string& redirectUri,
                                                const std::string& codeVerifier)
{
    return session->ExchangeCodeForTokens(code, redirectUri, codeVerifier, session->Credentials());
}

void GoogleDriveUploader::Authenticate(CompletionCallback onDone)
{
    DriveCredentials client;
    std::string problem;
    if (!session->ClientForAuthorization(client, problem)) {
        onDone(false, problem);
        return;
    }
    StartSessionThread(session, [client, onDone = std::move(onDone)](DriveSession& s) {
        s.RunAuthorization(client, onDone);
    });
}

std::string GoogleDriveUploader::ClientFilePath() const { return session->clientFilePath; }

bool GoogleDriveUploader::HasCredentials() const
{
    return ReadClientFile(session->clientFilePath).kind != ClientFileResult::Kind::Missing
        || (!session->builtInCredentials.clientId.empty()
            && !session->builtInCredentials.clientSecret.empty());
}

// ---------------------------------------------------------------------------
// Session: construction, lifetime and shared plumbing.

DriveSession::DriveSession(DriveClientOptions options)
    : clientFilePath(options.clientFilePath.empty() ? DefaultClientFilePath()
                                                    : std::move(options.clientFilePath)),
      builtInCredentials(std::move(options.credentials)),
      endpoints(std::move(options.endpoints)),
      timings(options.timings),
      secureStore(OrSystemStore(std::move(options.secureStore))),
      launchBrowser(std::move(options.launchBrowser)),
      clock(std::move(options.now)),
      pause(std::move(options.pause)),
      onAuthorizationLost(std::move(options.onAuthorizationLost))
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) {
        wakeRead = UniqueFd(fds[0]);
        wakeWrite = UniqueFd(fds[1]);
    }
}

void DriveSession::ThreadStarted()
{
    std::lock_guard<std::mutex> lock(lifeMutex);
    ++runningThreads;
}

void DriveSession::ThreadFinished()
{
    std::lock_guard<std::mutex> lock(lifeMutex);
    --runningThreads;
    lifeChanged.notify_all();
}

void DriveSession::BeginShutdown()
{
    {
        std::lock_guard<std::mutex> lock(lifeMutex);
        shuttingDown = true;
        lifeChanged.notify_all();
    }
    if (wakeWrite.Get() >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeWrite.Get(), &byte, 1);
    }
}

void DriveSession::WaitForThreads()
{
    std::unique_lock<std::mutex> lock(lifeMutex);
    lifeChanged.wait_for(lock, timings.shutdownGrace, [this] { return runningThreads == 0; });
}

int64_t DriveSession::Now() const
{
    return clock ? clock() : static_cast<int64_t>(std::time(nullptr));
}

bool DriveSession::PauseBeforeRetry(const std::atomic<bool>& cancel)
{
    if (pause) {
        pause(timings.retryPause);
    } else {
        const auto deadline = std::chrono::steady_clock::now() + timings.retryPause;
        std::unique_lock<std::mutex> lock(lifeMutex);
        while (!shuttingDown && !cancel && std::chrono::steady_clock::now() < deadline)
            lifeChanged.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now()
                                                                + kCancelPollInterval));
    }
    return !shuttingDown && !cancel;
}

HttpResponse DriveSession::Request(const std::string& url, const std::string* postBody,
                                   const std::vector<std::string>& headerLines,
                                   const std::atomic<bool>& cancel) const
{
    return PerformHttpRequest(url, postBody ? postBody->data() : nullptr,
                              postBody ? postBody->size() : 0, headerLines,
                              timings.requestTimeout, &shuttingDown, &cancel);
}

DriveCredentials DriveSession::Credentials() const
{
    std::lock_guard<std::recursive_mutex> lock(tokenMutex);
    return credentials;
}

bool DriveSession::ClientForAuthorization(DriveCredentials& client, std::string& problem) const
{
    const ClientFileResult file = ReadClientFile(clientFilePath);
    if (file.kind == ClientFileResult::Kind::Invalid) {
        problem = file.problem;
        return false;
    }
    if (file.kind == ClientFileResult::Kind::Loaded) {
        client = file.credentials;
        DriveLog("[Drive] Using the OAuth client from %s (client id %s)\n", clientFilePath.c_str(),
                 client.clientId.c_str());
        return true;
    }
    if (builtInCredentials.clientId.empty() || builtInCredentials.clientSecret.empty()) {
        problem = "Credentials not loaded";
        return false;
    }
    client = builtInCredentials;
    DriveLog("[Drive] Using the built-in OAuth client (client id %s)\n", client.clientId.c_str());
    return true;
}

std::string DriveSession::BearerLine() const
{
    std::lock_guard<std::recursive_mutex> lock(tokenMutex);
    return "Authorization: Bearer " + accessToken;
}

// ---------------------------------------------------------------------------
// Token store.

bool DriveSession::IsAuthenticated() const
{
    std::lock_guard<std::recursive_mutex> lock(tokenMutex);
    return !refreshToken.empty();
}

bool DriveSession::LoadTokens()
{
    // Tokens stored earlier belong to the client in use now: the client
    // file's when it loads, else the built-in one.
    const ClientFileResult file = ReadClientFile(clientFilePath);
    const DriveCredentials current =
        file.kind == ClientFileResult::Kind::Loaded ? file.credentials : builtInCredentials;

    std::string storedRefresh;
    if (secureStore && !secureStore->Get(kStoreService, kStoreAccount, storedRefresh))
        storedRefresh.clear();

    std::string storedAccess;
    std::string expiryText;
    bool otherClient = false;
    {
        const auto configLock = LockConfigStore();
        if (wxConfigBase* config = wxConfigBase::Get()) {
            wxString value;
            if (config->Read(kAccessTokenKey, &value) && !value.empty())
                storedAccess = ToUtf8(value);
            if (config->Read(kTokenExpiryKey, &value) && !value.empty())
                expiryText = ToUtf8(value);
            // Versions that did not store the client count as the current one.
            otherClient = config->Read(kClientIdKey, &value) && ToUtf8(value) != current.clientId;
        }
    }
    int64_t expiry = 0;
    if (!expiryText.empty() && !ParseLeadingInteger(expiryText, -kExpiryLimit, kExpiryLimit, expiry))
        expiry = 0;

    if (otherClient) {
        // The provider would refuse a refresh by another client than the one
        // that obtained the token, and the current client is the one the
        // user chose: the old authorization is of no use.
        ForgetTokens();
        DriveLog("[Drive] Stored tokens belong to another OAuth client — re-authentication required\n");
        if (!storedRefresh.empty())
            ReportAuthorizationLost(kOtherClientText);
        storedRefresh.clear();
        storedAccess.clear();
        expiry = 0;
    }

    bool haveRefresh = false;
    {
        std::lock_guard<std::recursive_mutex> lock(tokenMutex);
        credentials = current;
        refreshToken = storedRefresh;
        accessToken = storedAccess;
        tokenExpiry = expiry;
        haveRefresh = !refreshToken.empty();
    }
    DriveLog("[Drive] Tokens loaded — refresh_token: %s, client_id: %s, access_token expires in %lld sec\n",
             haveRefresh ? "present" : "MISSING", Credentials().clientId.empty() ? "MISSING" : "present",
             static_cast<long long>(expiry - Now()));
    return haveRefresh;
}

void DriveSession::SaveTokens()
{
    std::lock_guard<std::recursive_mutex> lock(tokenMutex);
    // Taken before the store is looked up: it may be closed at exit meanwhile.
    const auto configLock = LockConfigStore();
    wxConfigBase* config = wxConfigBase::Get();
    if (!config)
        return;
    config->Write(kAccessTokenKey, FromUtf8(accessToken));
    config->Write(kTokenExpiryKey, wxString::Format("%lld", static_cast<long long>(tokenExpiry)));
    config->Flush(false);
}

void DriveSession::ClearDriveAccessPrefs()
{
    const auto configLock = LockConfigStore();
    wxConfigBase* config = wxConfigBase::Get();
    if (!config)
        return;
    config->DeleteEntry(kAccessTokenKey, false);
    config->DeleteEntry(kTokenExpiryKey, false);
    config->DeleteEntry(kClientIdKey, false);
    config->Flush(false);
}

void DriveSession::Disconnect() { ForgetTokens(); }

void DriveSession::ForgetTokens()
{
    {
        std::lock_guard<std::recursive_mutex> lock(tokenMutex);
        accessToken.clear();
        refreshToken.clear();
        tokenExpiry = 0;
        // Another account may connect next, with a folder of its own.
        folderId.clear();
    }
    if (secureStore)
        secureStore->Delete(kStoreService, kStoreAccount);
    // Under the token lock so that it never interleaves with SaveTokens on
    // another thread: the configuration object is not safe for concurrent use.
    std::lock_guard<std::recursive_mutex> lock(tokenMutex);
    ClearDriveAccessPrefs();
}

void DriveSession::ReportAuthorizationLost(const std::string& reason) const
{
    if (onAuthorizationLost)
        onAuthorizationLost(reason);
}

// ---------------------------------------------------------------------------
// Authorization-code exchange (the listener is in DriveAuthorization.cpp).

bool DriveSession::ExchangeCodeForTokens(const std::string& code, const std::string& redirectUri,
                                         const std::string& codeVerifier,
                                         const DriveCredentials& client)
{
    using U = GoogleDriveUploader;
    const std::string body = "code=" + U::UrlEncode(code) + "&client_id="
        + U::UrlEncode(client.clientId) + "&client_secret=" + U::UrlEncode(client.clientSecret)
        + "&redirect_uri="
        + U::UrlEncode(redirectUri) + "&grant_type=authorization_code&code_verifier="
        + U::UrlEncode(codeVerifier);
    const std::string response =
        Request(endpoints.tokenUrl, &body, {kFormContentType}, kNeverCancelled).body;

    std::lock_guard<std::recursive_mutex> lock(tokenMutex);
    credentials = client;
    folderId.clear();
    accessToken = U::ExtractJsonField(response, "access_token");
    refreshToken = U::ExtractJsonField(response, "refresh_token");
    tokenExpiry = Now() + LifetimeFrom(U::ExtractJsonField(response, "expires_in"));
    if (!refreshToken.empty()) {
        bool stored = false;
        if (secureStore) {
            secureStore->Delete(kStoreService, kStoreAccount);
            stored = secureStore->Add(kStoreService, kStoreAccount, refreshToken);
        }
        if (!stored) {
            DriveLog("[Drive] Failed to save refresh token to secure store\n");
            refreshToken.clear();
        }
    }
    const bool exchanged = !accessToken.empty() && !refreshToken.empty();
    if (exchanged) {
        // The next start tells from it whether the stored tokens still
        // belong to the client in use.
        const auto configLock = LockConfigStore();
        if (wxConfigBase* config = wxConfigBase::Get()) {
            config->Write(kClientIdKey, FromUtf8(client.clientId));
            config->Flush(false);
        }
    }
    return exchanged;
}

// ---------------------------------------------------------------------------
// Access-token refresh.

bool DriveSession::IsAccessTokenUsable() const
{
    std::lock_guard<std::recursive_mutex> lock(tokenMutex);
    return !accessToken.empty() && Now() < tokenExpiry - kValidityMarginSec;
}

bool DriveSession::EnsureValidToken(const std::atomic<bool>& cancel)
{
    {
        std::lock_guard<std::recursive_mutex> lock(tokenMutex);
        if (refreshToken.empty())
            return false;
        if (IsAccessTokenUsable())
            return true;
    }
    return RefreshAccessToken(cancel);
}

bool DriveSession::RefreshAccessToken(const std::atomic<bool>& cancel)
{
    const uint64_t finishedBeforeWaiting = refreshesFinished.load();
    std::string lostReason;
    bool refreshed = false;
    {
        std::lock_guard<std::mutex> refreshLock(refreshMutex);
        if (IsAccessTokenUsable())
            return true;
        // A refresh that failed while this thread waited has just spent its
        // attempts. Repeating them for every waiting caller would let callers
        // pile up without end while the provider stays unreachable.
        if (refreshesFinished.load() != finishedBeforeWaiting && !lastRefreshSucceeded)
            return false;
        refreshed = lastRefreshSucceeded = RefreshWithRetries(cancel, lostReason);
        ++refreshesFinished;
    }
    if (!lostReason.empty())
        ReportAuthorizationLost(lostReason);
    return refreshed;
}

bool DriveSession::RefreshWithRetries(const std::atomic<bool>& cancel, std::string& lostReason)
{

    std::string heldRefreshToken;
    {
        std::lock_guard<std::recursive_mutex> lock(tokenMutex);
        heldRefreshToken = refreshToken;
    }
    // A refresh token rejected while this thread waited is gone: asking the
    // provider with an empty one could only fail again.
    if (heldRefreshToken.empty())
        return false;

    using U = GoogleDriveUploader;
    const DriveCredentials client = Credentials();
    const std::string body = "refresh_token=" + U::UrlEncode(heldRefreshToken) + "&client_id="
        + U::UrlEncode(client.clientId) + "&client_secret=" + U::UrlEncode(client.clientSecret)
        + "&grant_type=refresh_token";

    for (int attempt = 1; attempt <= kRefreshAttempts; ++attempt) {
        if (attempt > 1 && !PauseBeforeRetry(cancel))
            break;
        const std::string response =
            Request(endpoints.tokenUrl, &body, {kFormContentType}, cancel).body;
        const std::string newAccessToken = U::ExtractJsonField(response, "access_token");
        if (!newAccessToken.empty()) {
            std::lock_guard<std::recursive_mutex> lock(tokenMutex);
            accessToken = newAccessToken;
            tokenExpiry = Now() + LifetimeFrom(U::ExtractJsonField(response, "expires_in"));
            SaveTokens();
            DriveLog("[Drive] Token refreshed successfully\n");
            return true;
        }
        const std::string error = U::ExtractJsonField(response, "error");
        DriveLog("[Drive] Token refresh attempt %d/3 failed: %s\n", attempt,
                 error.empty() ? "(no response)" : error.c_str());
        // The grant lapsed or was revoked, or the provider no longer knows
        // the client that obtained it: no retry can help.
        const bool lapsed = error == "invalid_grant";
        if (lapsed || error == "invalid_client" || error == "unauthorized_client") {
            DriveLog("[Drive] Refresh token is invalid — re-authentication required\n");
            std::lock_guard<std::recursive_mutex> lock(tokenMutex);
            // Unless the user connected again (or disconnected) meanwhile.
            if (refreshToken == heldRefreshToken) {
                ForgetTokens();
                lostReason = lapsed ? kLapsedText : kClientRefusedText;
            }
            break;
        }
    }
    DriveLog("[Drive] Token refresh failed\n");
    return false;
}
