#pragma once

// The Drive client's state and work, shared by GoogleDriveUploader, the
// detached threads it starts and the callers blocked in UploadJpeg (internal
// to drive/). Each of them holds the session through a shared_ptr, so the
// session outlives the client object for as long as any of them runs.

#include "DriveHttp.h"
#include "GoogleDriveUploader.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Owns one file descriptor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            Reset();
            fd = other.Release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd; }
    int Release()
    {
        const int released = fd;
        fd = -1;
        return released;
    }
    void Reset();

private:
    int fd = -1;
};

// Parses a decimal integer the way the stored texts are read: leading white
// space and a sign accepted, trailing characters ignored. False when no digit
// leads the text or the value does not fit.
bool ParseLeadingInteger(const std::string& text, int64_t minValue, int64_t maxValue,
                         int64_t& value);

// Writes one "[Drive] " line to standard output and flushes it, so the line
// is there at once even when standard output is a pipe or a file.
void DriveLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The cancel flag of calls that have none.
inline const std::atomic<bool> kNeverCancelled{false};

class DriveSession {
public:
    explicit DriveSession(DriveClientOptions options);

    // Token store (GoogleDriveUploader.cpp).
    bool IsAuthenticated() const;
    bool LoadTokens();
    void SaveTokens();
    // The user's Disconnect: forgets every token in memory and in both stores.
    void Disconnect();

    // The client that the held tokens belong to and that refreshes name.
    DriveCredentials Credentials() const;
    // The client an authorization names now: the client file's, or the
    // built-in one when there is no file. False with a status text when the
    // file cannot be used or there is no client at all.
    bool ClientForAuthorization(DriveCredentials& client, std::string& problem) const;

    // Authorization (DriveAuthorization.cpp). RunAuthorization is the body of
    // the authorization thread.
    void RunAuthorization(const DriveCredentials& client, const CompletionCallback& onDone);
    // On success the tokens and the client they belong to replace the held ones.
    bool ExchangeCodeForTokens(const std::string& code, const std::string& redirectUri,
                               const std::string& codeVerifier, const DriveCredentials& client);

    // Refresh (GoogleDriveUploader.cpp). Requests and pauses end soon after
    // cancel is set, the refresh then failing.
    bool EnsureValidToken(const std::atomic<bool>& cancel);
    bool RefreshAccessToken(const std::atomic<bool>& cancel);

    // Upload (DriveUpload.cpp).
    UploadResult UploadJpeg(const std::vector<uint8_t>& jpeg, const std::string& fileName,
                            bool lookUpFirst, const std::atomic<bool>& cancel);
    std::string EnsureFolderExists(const std::atomic<bool>& cancel);

    // Lifetime. ThreadStarted/ThreadFinished bracket every thread of the
    // session and every blocking call made on a caller's thread; BeginShutdown
    // (called by the client's destructor) wakes the redirect listener, aborts
    // transfers and cuts retry pauses short.
    void ThreadStarted();
    void ThreadFinished();
    void BeginShutdown();
    // Returns when no thread of the session runs, or after timings.shutdownGrace.
    void WaitForThreads();

    const std::string clientFilePath;
    const DriveCredentials builtInCredentials;

private:
    int64_t Now() const;
    // Waits for the retry pause; false when the session is shutting down or
    // the call is cancelled.
    bool PauseBeforeRetry(const std::atomic<bool>& cancel);
    HttpResponse Request(const std::string& url, const std::string* postBody,
                         const std::vector<std::string>& headerLines,
                         const std::atomic<bool>& cancel) const;
    std::string WaitForAuthCode(UniqueFd listenFd, const std::string& expectedState);
    bool IsAccessTokenUsable() const;
    void ClearDriveAccessPrefs();
    std::string BearerLine() const;

    // One refresh of up to three attempts; the caller holds refreshMutex.
    // lostReason says why the provider no longer accepts the authorization,
    // which is then forgotten; the caller reports it once the lock is released.
    bool RefreshWithRetries(const std::atomic<bool>& cancel, std::string& lostReason);
    // Forgets every token in memory and in both stores.
    void ForgetTokens();
    void ReportAuthorizationLost(const std::string& reason) const;
    // After a 401: the access token sent in bearerLine is refused, so the next
    // call refreshes (unless another thread already did).
    void ForgetAccessToken(const std::string& bearerLine);
    // After a 404: the folder is gone from Drive, so the next call finds or
    // creates it again (unless another call cached another one meanwhile).
    void ForgetFolder(const std::string& folder);
    // The outcome of an upload that Drive answered.
    UploadResult Classify(const HttpResponse& response, const std::string& fileName,
                          const std::string& folder, const std::string& bearerLine);
    HttpResponse UploadMultipart(const std::vector<uint8_t>& jpeg, const std::string& fileName,
                                 const std::string& folder, const std::string& bearerLine,
                                 const std::atomic<bool>& cancel) const;

    const DriveEndpoints endpoints;
    const DriveTimings timings;
    const std::shared_ptr<SecureStore> secureStore;
    const BrowserLauncher launchBrowser;
    const EpochClock clock;
    const RetryPause pause;
    const AuthorizationLostCallback onAuthorizationLost;

    std::string accessToken;
    std::string refreshToken;
    int64_t tokenExpiry = 0;
    std::string folderId;
    DriveCredentials credentials;
    // Guards the five members above; recursive because SaveTokens runs
    // inside sections that already hold it.
    //
    // Lock order: folderMutex, refreshMutex, tokenMutex, then the
    // configuration store's lock; a thread holding one never waits for an
    // earlier one.
    mutable std::recursive_mutex tokenMutex;
    // Serialises refreshes.
    std::mutex refreshMutex;
    // Serialises folder look-ups, held across the search and the creation
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
