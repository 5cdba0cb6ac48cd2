#pragma once

#include "GoogleDriveUploader.h"
#include "SecureStore.h"

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

extern const char kStoreService[];
extern const char kStoreAccount[];

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

// The query value of a URL, decoded; empty when absent.
std::string QueryValue(const std::string& url, const std::string& name);
// The port of an http://host:port/... URL.
int UrlPort(const std::string& url);

// A raw TCP client of the redirect listener.
class RawConnection {
public:
    explicit RawConnection(int port);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return fd >= 0; }
    void Send(const std::string& bytes);
    // Half-closes: the peer reads the end of the request.
    void FinishSending();
    // Reads until the peer closes or the limit passes.
    std::string ReadAll(std::chrono::milliseconds limit = std::chrono::seconds(5));
    void Close();

private:
    int fd = -1;
};

// True when a TCP connection to 127.0.0.1:port is refused.
bool PortRefuses(int port);
// A loopback port on which nothing listens.
int UnusedPort();

// A loopback server that records raw requests and answers each connection
// with fixed bytes, or never (until stopped). For what the fake provider
// cannot show: header order and silence.
class RawHttpServer {
public:
    // silent: accept, read, never answer.
    RawHttpServer(std::string reply, bool silent);
    ~RawHttpServer();
    RawHttpServer(const RawHttpServer&) = delete;
    RawHttpServer& operator=(const RawHttpServer&) = delete;

    std::string Url(const std::string& path = "/") const;
    std::vector<std::string> Requests() const;

private:
    void Serve();

    std::string reply;
    bool silent;
    int listenFd = -1;
    int port = 0;
    std::atomic<bool> stopping{false};
    mutable std::mutex mutex;
    std::vector<std::string> requests;
    std::thread thread;
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

// Lines written to standard output while it lives.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    std::string Take();

private:
    bool taken = false;
};
