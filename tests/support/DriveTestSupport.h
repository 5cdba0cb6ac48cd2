#pragma once

#include "GoogleDriveUploader.h"
#include "LoopbackHttp.h"
#include "SecureStore.h"
#include "StdoutCapture.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class wxFileConfig;

// The secure store, in memory. Thread-safe.
class MemorySecureStore : public SecureStore {
public:
    bool Get(const std::string& service, const std::string& account, std::string& secret) override;
    bool Add(const std::string& service, const std::string& account, const std::string& secret) override;
    bool Delete(const std::string& service, const std::string& account) override;

    void Put(const std::string& secret);  // the refresh-token item
    bool Has() const;
    std::string Secret() const;
    void FailAdds(bool fail);

private:
    mutable std::mutex mutex;
    std::map<std::pair<std::string, std::string>, std::string> items;
    bool failAdds = false;
};

// A configuration file in a fresh temporary directory, installed as the
// default configuration object for the test's lifetime.
class TempConfig {
public:
    TempConfig();
    ~TempConfig();
    TempConfig(const TempConfig&) = delete;
    TempConfig& operator=(const TempConfig&) = delete;

    void Set(const std::string& key, const std::string& value);
    // The entry as stored on disk (read through a second configuration
    // object), or nothing when absent.
    bool ReadFromDisk(const std::string& key, std::string& value) const;
    bool GroupExistsOnDisk(const std::string& group) const;

private:
    std::string directory;
    std::string path;
    wxFileConfig* config = nullptr;
};

// Collects the completions of one operation.
class CompletionProbe {
public:
    CompletionCallback Callback();
    // Waits for the first completion; false on time-out.
    bool Wait(std::chrono::milliseconds limit = std::chrono::seconds(20));
    bool ok() const;
    std::string message() const;
    int calls() const;

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        int calls = 0;
        bool ok = false;
        std::string message;
    };
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
};

// Plays the browser: follows the consent page's redirect to the client's
// listener on a thread of its own, as a real browser returns at once from
// being opened. Joins its threads on destruction.
class TestBrowser {
public:
    ~TestBrowser();
    BrowserLauncher Launcher();
    // Only records the URL; the test then talks to the listener itself.
    BrowserLauncher RecordingLauncher();

    // Waits for the n-th URL opened (from 1).
    std::string WaitForUrl(size_t n = 1, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // The last page the browser showed after following the redirect.
    std::string WaitForPage(size_t n = 1, std::chrono::milliseconds limit = std::chrono::seconds(10));
    size_t Opened() const;

private:
    void Browse(const std::string& url);

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> urls;
    std::vector<std::string> pages;
    std::vector<std::thread> threads;
};

// Options for a client against a fake provider, with an in-memory store, a
// fixed clock and recorded retry pauses.
struct TestClock {
    std::atomic<int64_t> now{1700000000};
};

struct PauseLog {
    std::mutex mutex;
    std::vector<std::chrono::milliseconds> pauses;
    std::vector<size_t> requestsBefore;  // token requests made when each pause began
};

// A uniform RGB frame whose left half is red and right half blue.
std::vector<uint8_t> RedBlueFrame(int width, int height);

