#pragma once

#include "FakeProvider.h"
#include "GoogleDriveUploader.h"
#include "SecureStore.h"

#include <gtest/gtest.h>
#include <wx/fileconf.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

// The secure store's one item, in memory.
class MemoryStore : public SecureStore {
public:
    bool Get(const std::string&, const std::string&, std::string& secret) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        secret = item;
        return !item.empty();
    }
    bool Add(const std::string&, const std::string&, const std::string& secret) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        item = secret;
        return true;
    }
    bool Delete(const std::string&, const std::string&) override { return Add("", "", ""); }
    std::string Item()
    {
        std::string secret;
        Get("", "", secret);
        return secret;
    }

private:
    std::mutex mutex;
    std::string item;
};

// A completion that the client's thread may still call after the test has
// ended; a second call throws (std::promise), so "exactly once" is checked too.
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

inline bool WaitUntil(const std::function<bool()>& condition, std::chrono::seconds limit = 10s)
{
    for (const auto deadline = std::chrono::steady_clock::now() + limit; !condition();) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// A client wired to the provider stand-in, an in-memory secure store, a
// temporary configuration file and a fixed clock.
class DriveTest : public ::testing::Test {
protected:
    static constexpr int64_t kNow = 1700000000;

    DriveTest() { wxConfigBase::Set(new wxFileConfig("", "", configPath, "", wxCONFIG_USE_LOCAL_FILE)); }
    ~DriveTest() override
    {
        client.reset();
        delete wxConfigBase::Set(nullptr);
        std::remove(configPath.c_str());
    }

    DriveClientOptions Options()
    {
        DriveClientOptions options;
        options.endpoints = {provider.Url("/authorize"), provider.Url("/token"),
                             provider.Url("/drive/v3/files"), provider.Url("/upload/drive/v3/files"),
                             "drive.file"};
        options.credentials = {"test-client-id", "test-client-secret"};
        options.secureStore = store;
        options.launchBrowser = [p = &provider](const std::string& url) {
            p->Post("/control/browse?url=" + GoogleDriveUploader::UrlEncode(url));
            return true;
        };
        options.now = [] { return kNow; };
        options.pause = [](std::chrono::milliseconds) {};
        options.timings.requestTimeout = options.timings.uploadTimeout = 2s;
        options.timings.redirectWait = 20s;
        options.timings.shutdownGrace = 20s;
        return options;
    }
    GoogleDriveUploader& Start(DriveClientOptions options)
    {
        client = std::make_unique<GoogleDriveUploader>(std::move(options));
        return *client;
    }
    GoogleDriveUploader& Start() { return Start(Options()); }

    // What an earlier run left behind, with tokens the provider accepts.
    void Stored(bool refreshToken, const std::string& expiry, bool accessToken = true)
    {
        if (refreshToken)
            store->Add("", "", "rt-stored");
        provider.Post("/control/refresh-token?value=rt-stored");
        provider.Post("/control/access-token?value=at-stored");
        if (accessToken)
            wxConfigBase::Get()->Write("/GoogleDrive/AccessToken", "at-stored");
        wxConfigBase::Get()->Write("/GoogleDrive/TokenExpiry", wxString(expiry));
    }
    std::string Entry(const char* key) const
    {
        wxString value;
        return wxConfigBase::Get()->Read(key, &value) ? value.ToStdString() : "(absent)";
    }
    int Count(const std::string& endpoint) const
    {
        return std::atoi(provider.Get("/control/count?endpoint=" + endpoint).c_str());
    }
    void Script(const std::string& endpoint, const std::string& script)
    {
        provider.Post("/control/script?endpoint=" + endpoint + "&" + script);
    }

    const std::string configPath = testing::TempDir() + "orvanta-drive-" + std::to_string(getpid()) + ".conf";
    FakeProvider provider;
    std::shared_ptr<MemoryStore> store = std::make_shared<MemoryStore>();
    std::unique_ptr<GoogleDriveUploader> client;
};
