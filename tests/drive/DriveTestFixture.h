#pragma once

#include "DriveClient.h"
#include "DriveSession.h"
#include "FakeProvider.h"
#include "HttpRequest.h"
#include "MemorySettingsStore.h"
#include "MemoryStore.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

// A completion that the client's thread may call after the test has ended;
// a second call throws (std::promise), so "exactly once" is checked too.
inline std::pair<CompletionCallback, std::future<bool>> Completion()
{
    auto done = std::make_shared<std::promise<bool>>();
    return {[done](bool ok, const std::string&) { done->set_value(ok); }, done->get_future()};
}

// 1 or 0 for the reported success, -1 when nothing was reported in time.
inline int Outcome(std::future<bool>& done, std::chrono::seconds limit = 20s)
{
    return done.wait_for(limit) == std::future_status::ready ? done.get() : -1;
}

inline bool WaitUntil(const std::function<bool()>& condition)
{
    for (const auto deadline = std::chrono::steady_clock::now() + 10s; !condition(); std::this_thread::sleep_for(20ms))
        if (std::chrono::steady_clock::now() > deadline)
            return false;
    return true;
}

// What onAuthorizationLost was told, from whichever thread.
struct LostReasons {
    void Add(const std::string& reason) { std::lock_guard<std::mutex> lock(mutex); text += reason + "\n"; }
    std::string Text() { std::lock_guard<std::mutex> lock(mutex); return text; }
    std::mutex mutex;
    std::string text;
};

// A client wired to the provider stand-in, an in-memory secure store and
// settings store, a client file path in a temporary folder of its own
// (no file there unless a test writes one) and a fixed clock.
class DriveTest : public ::testing::Test {
protected:
    static constexpr int64_t kNow = 1700000000;

    ~DriveTest() override { client.reset(), session.reset(), std::filesystem::remove_all(folder); }

    DriveClientOptions Options()
    {
        DriveClientOptions options;
        options.endpoints = {provider.Url("/authorize"), provider.Url("/token"), provider.Url("/drive/v3/files"),
                             provider.Url("/upload/drive/v3/files"), "drive.file"};
        options.credentials = {"test-client-id", "test-client-secret"};
        options.clientFilePath = ClientFile();
        options.secureStore = store;
        options.settings = settings;
        options.onAuthorizationLost = [lost = lost](const std::string& reason) { lost->Add(reason); };
        options.launchBrowser = [p = &provider](const std::string& url) {
            return p->Post("/control/browse?url=" + UrlEncode(url)), true;
        };
        options.now = [] { return kNow; };
        options.pause = [](std::chrono::milliseconds) {};
        options.timings.requestTimeout = options.timings.uploadTimeout = 2s;
        options.timings.redirectWait = options.timings.shutdownGrace = 20s;
        return options;
    }
    DriveClient& Start(DriveClientOptions options)
    {
        client = std::make_unique<DriveClient>(std::move(options));
        return *client;
    }
    DriveClient& Start() { return Start(Options()); }
    // The client's session itself, loaded as the client loads it, for the
    // token steps that the client takes only on threads of its own.
    DriveSession& StartSession(DriveClientOptions options)
    {
        session = std::make_shared<DriveSession>(std::move(options));
        return session->LoadTokens(), *session;
    }
    std::string ClientFile() const { return folder + "/google-oauth-client.json"; }

    // What an earlier run left behind, with tokens the provider accepts.
    void Stored(bool refreshToken, const char* expiry, bool accessToken = true)
    {
        store->Add("", "", refreshToken ? "rt-stored" : "");
        provider.Post("/control/refresh-token?value=rt-stored");
        provider.Post("/control/access-token?value=at-stored");
        settings->Write({{"/GoogleDrive/AccessToken", accessToken ? "at-stored" : ""}, {"/GoogleDrive/TokenExpiry", expiry}});
    }
    std::string Entry(const char* key) const { return settings->Read(key).value_or("(absent)"); }
    int Count(const char* endpoint) const { return std::stoi("0" + provider.Get("/control/count?endpoint=" + std::string(endpoint))); }
    void Script(const char* endpoint, const std::string& script) { provider.Post("/control/script?endpoint=" + std::string(endpoint) + "&" + script); }

    std::string folder = [] { char name[] = "/tmp/orvanta-drive-XXXXXX"; return std::string(mkdtemp(name) ? name : "/nonexistent"); }();
    FakeProvider provider;
    std::shared_ptr<MemoryStore> store = std::make_shared<MemoryStore>();
    std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
    std::shared_ptr<LostReasons> lost = std::make_shared<LostReasons>();
    std::unique_ptr<DriveClient> client;
    std::shared_ptr<DriveSession> session;
};
