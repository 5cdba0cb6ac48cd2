// Token storage, the authorization-code exchange and the access-token refresh.

#include "DriveSession.h"

#include "DriveClientFile.h"
#include "DriveText.h"
#include "SecureStore.h"

#include <limits>

namespace {

const char kStoreService[] = "com.tesselwick.orvanta.GoogleDrive";
const char kStoreAccount[] = "refresh_token";
const char kAccessTokenKey[] = "/GoogleDrive/AccessToken";
const char kTokenExpiryKey[] = "/GoogleDrive/TokenExpiry";
const char kClientIdKey[] = "/GoogleDrive/ClientId";
const char kLapsedKey[] = "/GoogleDrive/SignInLapsed";
const char kFormContentType[] = "Content-Type: application/x-www-form-urlencoded";

constexpr int64_t kValidityMarginSec = 60;
constexpr int64_t kDefaultLifetimeSec = 3600;
constexpr int kRefreshAttempts = 3;
// Stored expiry moments beyond this are treated as absent, which keeps the
// arithmetic on them far from overflow.
constexpr int64_t kExpiryLimit = int64_t{1} << 62;

const char kLapsedText[] = "Google Drive sign-in has lapsed — connect again";
const char kClientRefusedText[] =
    "Google Drive no longer accepts the OAuth client of the sign-in — connect again";
const char kOtherClientText[] =
    "Google Drive sign-in was made with another OAuth client — connect again";

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

}  // namespace

void DriveSession::Store(const std::vector<SettingsStore::Change>& changes) const
{
    if (settings)
        settings->Write(changes);
}

DriveCredentials DriveSession::Credentials() const
{
    std::lock_guard<std::recursive_mutex> lock(tokenMutex);
    return credentials;
}

std::string DriveSession::BearerLine() const
{
    std::lock_guard<std::recursive_mutex> lock(tokenMutex);
    return "Authorization: Bearer " + accessToken;
}

bool DriveSession::IsAuthenticated() const
{
    std::lock_guard<std::recursive_mutex> lock(tokenMutex);
    return !refreshToken.empty();
}

bool DriveSession::IsLapsed() const { return lapsed; }

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

    const auto read = [this](const char* key) {
        return settings ? settings->Read(key) : std::nullopt;
    };
    std::string storedAccess = read(kAccessTokenKey).value_or("");
    const std::string expiryText = read(kTokenExpiryKey).value_or("");
    // Versions that did not store the client count as the current one.
    const std::optional<std::string> storedClient = read(kClientIdKey);
    const bool otherClient = storedClient && *storedClient != current.clientId;
    int64_t expiry = 0;
    if (!expiryText.empty() && !ParseLeadingInteger(expiryText, -kExpiryLimit, kExpiryLimit, expiry))
        expiry = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(tokenMutex);
        lapsed = read(kLapsedKey) == std::optional<std::string>("true");
    }

    if (otherClient) {
        // The provider would refuse a refresh by another client than the one
        // that obtained the token, and the current client is the one the
        // user chose: the old authorization is of no use.
        ForgetTokens(storedRefresh.empty() ? Lapse::Unchanged : Lapse::Begins);
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
    // One write: a reader of the file never finds a token without its expiry.
    Store({{kAccessTokenKey, accessToken}, {kTokenExpiryKey, std::to_string(tokenExpiry)}});
}

void DriveSession::Disconnect() { ForgetTokens(Lapse::Ends); }

void DriveSession::ForgetTokens(Lapse lapse)
{
    {
        std::lock_guard<std::recursive_mutex> lock(tokenMutex);
        accessToken.clear();
        refreshToken.clear();
        tokenExpiry = 0;
        // Another account may connect next, with folders of its own.
        folderId.clear();
        subfolderIds.clear();
        if (lapse != Lapse::Unchanged)
            lapsed = lapse == Lapse::Begins;
    }
    if (secureStore)
        secureStore->Delete(kStoreService, kStoreAccount);
    std::vector<SettingsStore::Change> changes = {
        {kAccessTokenKey, std::nullopt}, {kTokenExpiryKey, std::nullopt}, {kClientIdKey, std::nullopt}};
    if (lapse != Lapse::Unchanged)
        changes.emplace_back(kLapsedKey, lapse == Lapse::Begins ? std::optional<std::string>("true")
                                                                : std::nullopt);
    // Under the token lock, so that a SaveTokens on another thread lands
    // before it, never after.
    std::lock_guard<std::recursive_mutex> lock(tokenMutex);
    Store(changes);
}

void DriveSession::ReportAuthorizationLost(const std::string& reason) const
{
    if (onAuthorizationLost)
        onAuthorizationLost(reason);
}

bool DriveSession::ExchangeCodeForTokens(const std::string& code, const std::string& redirectUri,
                                         const std::string& codeVerifier,
                                         const DriveCredentials& client)
{
    const std::string body = "code=" + UrlEncode(code) + "&client_id=" + UrlEncode(client.clientId)
        + "&client_secret=" + UrlEncode(client.clientSecret) + "&redirect_uri="
        + UrlEncode(redirectUri) + "&grant_type=authorization_code&code_verifier="
        + UrlEncode(codeVerifier);
    const std::string response =
        Request(endpoints.tokenUrl, &body, {kFormContentType}, kNeverCancelled).body;

    std::lock_guard<std::recursive_mutex> lock(tokenMutex);
    credentials = client;
    folderId.clear();
    subfolderIds.clear();
    accessToken = ExtractJsonField(response, "access_token");
    refreshToken = ExtractJsonField(response, "refresh_token");
    tokenExpiry = Now() + LifetimeFrom(ExtractJsonField(response, "expires_in"));
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
        lapsed = false;
        // The client id lets the next start tell whether the stored tokens
        // still belong to the client in use.
        Store({{kClientIdKey, client.clientId},
               {kAccessTokenKey, accessToken},
               {kTokenExpiryKey, std::to_string(tokenExpiry)},
               {kLapsedKey, std::nullopt}});
    }
    return exchanged;
}

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

    const DriveCredentials client = Credentials();
    const std::string body = "refresh_token=" + UrlEncode(heldRefreshToken) + "&client_id="
        + UrlEncode(client.clientId) + "&client_secret=" + UrlEncode(client.clientSecret)
        + "&grant_type=refresh_token";

    for (int attempt = 1; attempt <= kRefreshAttempts; ++attempt) {
        if (attempt > 1 && !PauseBeforeRetry(cancel))
            break;
        const std::string response =
            Request(endpoints.tokenUrl, &body, {kFormContentType}, cancel).body;
        const std::string newAccessToken = ExtractJsonField(response, "access_token");
        if (!newAccessToken.empty()) {
            std::lock_guard<std::recursive_mutex> lock(tokenMutex);
            accessToken = newAccessToken;
            tokenExpiry = Now() + LifetimeFrom(ExtractJsonField(response, "expires_in"));
            SaveTokens();
            DriveLog("[Drive] Token refreshed successfully\n");
            return true;
        }
        const std::string error = ExtractJsonField(response, "error");
        DriveLog("[Drive] Token refresh attempt %d/3 failed: %s\n", attempt,
                 error.empty() ? "(no response)" : error.c_str());
        // The grant lapsed or was revoked, or the provider no longer knows
        // the client that obtained it: no retry can help.
        const bool grantLapsed = error == "invalid_grant";
        if (grantLapsed || error == "invalid_client" || error == "unauthorized_client") {
            DriveLog("[Drive] Refresh token is invalid — re-authentication required\n");
            std::lock_guard<std::recursive_mutex> lock(tokenMutex);
            // Unless the user connected again (or disconnected) meanwhile.
            if (refreshToken == heldRefreshToken) {
                ForgetTokens(Lapse::Begins);
                lostReason = grantLapsed ? kLapsedText : kClientRefusedText;
            }
            break;
        }
    }
    DriveLog("[Drive] Token refresh failed\n");
    return false;
}
