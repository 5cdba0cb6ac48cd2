// The session's construction, lifetime and shared plumbing.

#include "DriveSession.h"

#include "DriveClientFile.h"
#include "SecureStore.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <utility>

namespace {

// How often a retry pause looks at a caller's cancel flag, which nothing signals.
constexpr std::chrono::milliseconds kCancelPollInterval{100};

std::shared_ptr<SecureStore> OrSystemStore(std::shared_ptr<SecureStore> store)
{
    if (store)
        return store;
    return std::shared_ptr<SecureStore>(CreateSystemSecureStore());
}

}  // namespace

void DriveLog(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

DriveSession::DriveSession(DriveClientOptions options)
    : clientFilePath(options.clientFilePath.empty() ? DefaultClientFilePath()
                                                    : std::move(options.clientFilePath)),
      builtInCredentials(std::move(options.credentials)),
      endpoints(std::move(options.endpoints)),
      timings(options.timings),
      secureStore(OrSystemStore(std::move(options.secureStore))),
      settings(std::move(options.settings)),
      launchBrowser(std::move(options.launchBrowser)),
      clock(std::move(options.now)),
      pause(std::move(options.pause)),
      onAuthorizationLost(std::move(options.onAuthorizationLost))
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) {
        wakeRead.Reset(fds[0]);
        wakeWrite.Reset(fds[1]);
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
    if (wakeWrite) {
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

bool DriveSession::HasCredentials() const
{
    return ReadClientFile(clientFilePath).kind != ClientFileResult::Kind::Missing
        || (!builtInCredentials.clientId.empty() && !builtInCredentials.clientSecret.empty());
}
