#pragma once

#include "DriveTestSupport.h"
#include "FakeProvider.h"

#include <gtest/gtest.h>

#include <memory>

// A client wired to a fake provider, an in-memory secure store, a temporary
// configuration file, a fixed clock and recorded retry pauses. Members are
// declared so that the client goes first and the configuration last.
class DriveFixture : public ::testing::Test {
protected:
    DriveClientOptions Options()
    {
        DriveClientOptions options;
        options.endpoints = provider.Endpoints();
        options.credentials = provider.Credentials();
        options.secureStore = store;
        options.launchBrowser = browser.Launcher();
        options.now = [clock = clock] { return clock->now.load(); };
        options.pause = [log = pauses, provider = &provider](std::chrono::milliseconds pause) {
            std::lock_guard<std::mutex> lock(log->mutex);
            log->pauses.push_back(pause);
            log->requestsBefore.push_back(provider->Count(FakeProvider::Endpoint::Token));
        };
        options.timings.requestTimeout = std::chrono::seconds(5);
        options.timings.uploadTimeout = std::chrono::seconds(5);
        return options;
    }

    GoogleDriveUploader& Client(DriveClientOptions options)
    {
        client = std::make_unique<GoogleDriveUploader>(std::move(options));
        return *client;
    }
    GoogleDriveUploader& Client() { return Client(Options()); }

    // Authenticates and waits for the completion.
    static CompletionProbe Connect(GoogleDriveUploader& drive)
    {
        CompletionProbe done;
        drive.Authenticate(done.Callback());
        EXPECT_TRUE(done.Wait());
        return done;
    }

    // Stores what a previous run left: a refresh token the provider accepts
    // and an access token expiring at the given moment.
    void StoreAuthorization(int64_t expiry, bool accessTokenValid = true)
    {
        refreshToken = provider.AddRefreshToken();
        store->Put(refreshToken);
        config.Set("/GoogleDrive/AccessToken",
                   accessTokenValid ? provider.AddAccessToken() : "ya29.expired");
        config.Set("/GoogleDrive/TokenExpiry", std::to_string(expiry));
    }

    // The entry as written to disk, or "(absent)".
    std::string OnDisk(const std::string& key) const
    {
        std::string value;
        return config.ReadFromDisk(key, value) ? value : "(absent)";
    }

    void ExpectNothingStored() const
    {
        EXPECT_FALSE(store->Has());
        EXPECT_EQ(OnDisk("/GoogleDrive/AccessToken"), "(absent)");
        EXPECT_EQ(OnDisk("/GoogleDrive/TokenExpiry"), "(absent)");
    }

    int64_t Now() const { return clock->now.load(); }

    // The field names of a form body, in their order.
    static std::vector<std::string> FieldNames(const std::vector<std::pair<std::string, std::string>>& form)
    {
        std::vector<std::string> names;
        for (const auto& field : form)
            names.push_back(field.first);
        return names;
    }

    TempConfig config;
    FakeProvider provider;
    std::shared_ptr<MemorySecureStore> store = std::make_shared<MemorySecureStore>();
    std::shared_ptr<TestClock> clock = std::make_shared<TestClock>();
    std::shared_ptr<PauseLog> pauses = std::make_shared<PauseLog>();
    TestBrowser browser;
    std::string refreshToken;
    std::unique_ptr<GoogleDriveUploader> client;
};
