#pragma once

// The Drive client's state and work (internal to drive/), shared by
// DriveClient, the threads it starts and the callers blocked in an upload.
// Each holds the session through a shared_ptr, so the session outlives the
// client object for as long as any of them runs. Sources: DriveSession.cpp
// (lifetime), DriveTokens.cpp, DriveAuthorization.cpp, DriveFolders.cpp,
// DriveUpload.cpp.

#include "DriveTypes.h"
#include "HttpRequest.h"
#include "SettingsStore.h"
#include "UniqueFd.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Writes one "[Drive] " line to standard output and flushes it, so the line
// is there at once even when standard output is a pipe or a file.
void DriveLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The cancel flag of calls that have none.
inline const std::atomic<bool> kNeverCancelled{false};

class DriveSession {
public:
    explicit DriveSession(DriveClientOptions options);

    // Tokens. LoadTokens reads both stores (true when a refresh token was
    // found) and forgets tokens of another OAuth client than the one in use.
    bool IsAuthenticated() const;
    bool IsLapsed() const;
    bool LoadTokens();
    // Writes the access token and its expiry to the settings store, together.
    void SaveTokens();
    // The user's Disconnect: forgets every token in memory and in both
    // stores, and the lapsed state.
    void Disconnect();
    // The client that the held tokens belong to and that refreshes name.
    DriveCredentials Credentials() const;
    // The client an authorization names now: the client file's, or the
    // built-in one when there is no file. False with a status text when the
    // file cannot be used or there is no client at all.
    bool ClientForAuthorization(DriveCredentials& client, std::string& problem) const;
    bool HasCredentials() const;
    // Trades an authorization code for tokens; on success they and the client
    // replace the held ones and are stored, and the lapsed state ends.
    bool ExchangeCodeForTokens(const std::string& code, const std::string& redirectUri,
                               const std::string& codeVerifier, const DriveCredentials& client);
    // True when the access token may be used now, refreshing it when it has 60
    // seconds or less left. Requests and pauses end soon after cancel is set,
    // the refresh then failing.
    bool EnsureValidToken(const std::atomic<bool>& cancel);
    bool RefreshAccessToken(const std::atomic<bool>& cancel);

    // The body of the authorization thread.
    void RunAuthorization(const DriveCredentials& client, const CompletionCallback& onDone);

    UploadResult UploadJpeg(const std::vector<uint8_t>& jpeg, const std::string& fileName,
                            const std::string& subfolder, bool lookUpFirst,
                            const std::atomic<bool>& cancel);
    // The id of "Orvanta" (subfolder empty) or "Orvanta/<subfolder>", cached
    // or found or created now; empty when Drive could not tell. Only a search
    // that succeeds and finds none creates a folder.
    std::string EnsureFolderExists(const std::string& subfolder, const std::atomic<bool>& cancel);

    // Lifetime. ThreadStarted/ThreadFinished bracket every thread of the
    // session and every blocking call made on a caller's thread; BeginShutdown
    // (the client's destructor) wakes the redirect listener, aborts transfers
    // and cuts retry pauses short.
    void ThreadStarted();
    void ThreadFinished();
    void BeginShutdown();
    // Returns when no thread of the session runs, or after timings.shutdownGrace.
    void WaitForThreads();

    const std::string clientFilePath;
    const DriveCredentials builtInCredentials;

private:
    // What a forgetting does to the lapsed state.
    enum class Lapse { Unchanged, Begins, Ends };

    int64_t Now() const;
    // Waits for the retry pause; false when the session is shutting down or
    // the call is cancelled.
    bool PauseBeforeRetry(const std::atomic<bool>& cancel);
    HttpResponse Request(const std::string& url, const std::string* postBody,
                         const std::vector<std::string>& headerLines,
                         const std::atomic<bool>& cancel) const;
    bool IsAccessTokenUsable() const;
    std::string BearerLine() const;
    // Applies changes to the settings store, if there is one.
    void Store(const std::vector<SettingsStore::Change>& changes) const;

    // One refresh of up to three attempts; the caller holds refreshMutex.
    // lostReason says why the provider no longer accepts the authorization,
    // which is then forgotten; the caller reports it once the lock is released.
    bool RefreshWithRetries(const std::atomic<bool>& cancel, std::string& lostReason);
    // Forgets every token and cached folder, in memory and in both stores.
    void ForgetTokens(Lapse lapse);
    void ReportAuthorizationLost(const std::string& reason) const;
    // After a 401: the access token sent in bearerLine is refused, so the next
    // call refreshes (unless another thread already did).
    void ForgetAccessToken(const std::string& bearerLine);

    // Folders (DriveFolders.cpp). After a 404 the folder is gone from Drive:
    // the next call finds or creates it again (unless another call cached
    // another one meanwhile); the base folder takes its subfolders with it.
    void ForgetFolder(const std::string& folder);
    struct FolderSearch {
        std::string id;            // empty: none found or made
        bool parentGone = false;   // Drive answered 404 for the parent
    };
    // Finds or creates one folder by name, in parent when there is one.
    FolderSearch FindOrCreateFolder(const std::string& name, const std::string& parent,
                                    const std::atomic<bool>& cancel);

    // The outcome of an upload into folder (folderPath for people) that Drive answered.
    UploadResult Classify(const HttpResponse& response, const std::string& fileName,
                          const std::string& folder, const std::string& folderPath,
                          const std::string& bearerLine);
    HttpResponse UploadMultipart(const std::vector<uint8_t>& jpeg, const std::string& fileName,
                                 const std::string& folder, const std::string& bearerLine,
                                 const std::atomic<bool>& cancel) const;

    const DriveEndpoints endpoints;
    const DriveTimings timings;
    const std::shared_ptr<SecureStore> secureStore;
    const std::shared_ptr<SettingsStore> settings;
    const std::function<bool(const std::string&)> launchBrowser;
    const std::function<int64_t()> clock;
    const std::function<void(std::chrono::milliseconds)> pause;
    const AuthorizationLostCallback onAuthorizationLost;

    std::string accessToken;
    std::string refreshToken;
    int64_t tokenExpiry = 0;
    DriveCredentials credentials;
    std::string folderId;                             // "Orvanta"
    std::map<std::string, std::string> subfolderIds;  // by name, all inside folderId
    // Guards the six members above and orders the writes of the stores, so
    // that a save never lands after the forgetting that followed it; recursive
    // because SaveTokens runs inside sections that already hold it.
    //
    // Lock order: folderMutex, refreshMutex, tokenMutex, then the settings
    // store's own lock; a thread holding one never waits for an earlier one.
    mutable std::recursive_mutex tokenMutex;
    // Written under tokenMutex; read without it (the decoder thread asks).
    std::atomic<bool> lapsed{false};
    // Serialises refreshes.
    std::mutex refreshMutex;
    // Serialises folder look-ups, held across the searches and the creations
    // (network I/O) so that two callers never create two folders.
    std::mutex folderMutex;
    // Refreshes completed so far, and whether the last one succeeded (written
    // under refreshMutex): lets threads that waited for a failed refresh
    // fail with it instead of repeating it.
    std::atomic<uint64_t> refreshesFinished{0};
    bool lastRefreshSucceeded = false;

    std::atomic<bool> shuttingDown{false};
    // Becomes readable, and stays so, when shutdown begins; polled by the
    // redirect listener.
    UniqueFd wakeRead;
    UniqueFd wakeWrite;
    std::mutex lifeMutex;
    std::condition_variable lifeChanged;
    int runningThreads = 0;
};
