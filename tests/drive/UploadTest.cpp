#include "DriveTestFixture.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>

using json = nlohmann::json;

static const char* Name(UploadOutcome outcome)
{
    static const char* const names[] = {"Stored", "NotSent", "Unknown", "Refused", "DriveFull", "NotAuthorized", "Cancelled"};
    return names[static_cast<int>(outcome)];
}

static std::string ErrorBody(const char* reason, const char* message)
{
    return "&body=" + UrlEncode(json{{"error", {{"code", 400}, {"message", message},
        {"errors", json::array({{{"reason", reason}, {"message", message}}})}}}}.dump());
}

// Sends a picture as the delivery thread does: again after each outcome that
// may pass, looking it up first from the first Unknown on. The outcomes in
// order, and the first message.
static std::pair<std::string, std::string> Deliver(DriveClient& drive, const std::vector<uint8_t>& jpeg,
                                                   const std::string& name, const std::string& subfolder = "")
{
    const std::atomic<bool> cancel{false};
    std::string outcomes, message;
    bool lookUpFirst = false;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const UploadResult result = drive.UploadJpeg(jpeg, name, subfolder, lookUpFirst, cancel);
        outcomes += (attempt ? " " : "") + std::string(Name(result.outcome));
        message = attempt ? message : result.message;
        using O = UploadOutcome;
        if (result.outcome == O::Stored || result.outcome == O::Refused || result.outcome == O::NotAuthorized)
            break;
        lookUpFirst = lookUpFirst || result.outcome == O::Unknown;
    }
    return {outcomes, message};
}

// Each row scripts Drive or the stored sign-in, delivers one picture, and
// checks what Drive holds in the end: the picture once if stored, in the one folder.
TEST_F(DriveTest, DeliveryOutcomes)
{
    const std::string status = "upload:action=status&status=";
    // Setup words: "expired" access token; "changed client" in use; ClientId stored by "another client"
    // or by "this client"; "folder deleted" after a first picture was stored.
    const struct { std::vector<std::string> scripts; const char *setup, *outcomes, *message; int uploads, refreshes;
                   const char* lost; } cases[] = {
        {{status + "429", status + "403" + ErrorBody("userRateLimitExceeded", "Slow")}, "", "NotSent NotSent Stored", "slow down", 3, 0, ""},
        {{status + "503"}, "", "Unknown Stored", "did not confirm p.jpg", 2, 0, ""},
        {{"upload:action=store_then_hang"}, "", "Unknown Stored", "looked up", 1, 0, ""},
        {{status + "400" + ErrorBody("badContent", "Bad picture")}, "", "Refused", "Google Drive refused p.jpg: Bad picture", 1, 0, ""},
        {{}, "folder deleted", "NotSent Stored", "folder is gone", 2, 0, ""},
        {{status + "401"}, "", "NotSent Stored", "access token", 2, 1, ""},
        {{status + "403" + ErrorBody("storageQuotaExceeded", "Quota")}, "", "DriveFull Stored", "Google Drive is full", 2, 0, ""},
        {{"search:action=status&status=503&body=%7B%22files%22%3A%5B%5D%7D"}, "", "NotSent Stored", "could not be reached", 1, 0, ""},
        {{"search:action=status&status=200&body=%3Chtml%3E"}, "", "NotSent Stored", "could not be reached", 1, 0, ""},
        {{"token:action=invalid_grant"}, "expired", "NotAuthorized", "Not connected", 0, 1, "has lapsed"},
        {{}, "expired, changed client", "NotAuthorized", "Not connected", 0, 1, "no longer accepts the OAuth client"},
        {{}, "stored by another client", "NotAuthorized", "Not connected", 0, 0, "another OAuth client"},
        {{}, "expired, stored by this client", "Stored", "uploaded", 1, 1, ""},
    };
    const std::string jpeg = provider.Get("/control/jpeg?seed=1"), first = provider.Get("/control/jpeg?seed=2");
    ASSERT_EQ(jpeg.substr(0, 2), "\xFF\xD8");
    for (const auto& c : cases) {
        const std::string setup = c.setup, outcomesWanted = c.outcomes;
        SCOPED_TRACE((c.scripts.empty() ? setup : c.scripts[0]) + " -> " + outcomesWanted);
        const auto has = [&setup](const char* word) { return setup.find(word) != std::string::npos; };
        provider.Post("/control/reset");
        lost = std::make_shared<LostReasons>();
        settings = std::make_shared<MemorySettingsStore>();
        Stored(true, has("expired") ? "0" : "1800000000");
        if (has("stored by"))
            settings->Write({{"/GoogleDrive/ClientId", has("another") ? "old-client-id" : "test-client-id"}});
        DriveClientOptions options = Options();
        options.credentials.clientId = has("changed client") ? "other-client-id" : "test-client-id";
        options.timings.requestTimeout = options.timings.uploadTimeout = 1s;
        DriveClient& drive = Start(options);
        EXPECT_EQ(drive.IsAuthenticated(), !has("another client"));
        if (has("folder deleted")) {
            EXPECT_EQ(Deliver(drive, {first.begin(), first.end()}, "first.jpg").first, "Stored");
            provider.Post("/control/delete-folder");
        }
        for (const std::string& script : c.scripts)
            Script(script.substr(0, script.find(':')).c_str(), script.substr(script.find(':') + 1));
        const int uploadsBefore = Count("upload");

        const auto [outcomes, message] = Deliver(drive, {jpeg.begin(), jpeg.end()}, "p.jpg");
        EXPECT_EQ(outcomes, outcomesWanted);
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
        EXPECT_EQ(Count("upload") - uploadsBefore, c.uploads);
        EXPECT_EQ(Count("token"), c.refreshes);
        const std::string lostReasons = lost->Text();
        EXPECT_EQ(lostReasons.empty(), !*c.lost) << lostReasons;
        EXPECT_NE(lostReasons.find(c.lost), std::string::npos) << lostReasons;
        if (*c.lost) {
            EXPECT_EQ(store->Item() + Entry("/GoogleDrive/AccessToken") + Entry("/GoogleDrive/ClientId"), "(absent)(absent)");
        }
        EXPECT_EQ(drive.IsLapsed(), *c.lost != '\0');
        EXPECT_EQ(Entry("/GoogleDrive/SignInLapsed"), *c.lost ? "true" : "(absent)");
        const json files = json::parse(provider.Get("/control/files")), folders = json::parse(provider.Get("/control/folders"));
        EXPECT_LE(folders.size(), 1u) << folders;
        int copies = 0;
        for (const json& file : files) {
            copies += file["name"] == "p.jpg";
            EXPECT_EQ(file["parents"], json::array({folders.at(0)["id"]})) << file["name"];
        }
        EXPECT_EQ(copies, int(outcomesWanted.rfind("Stored") == outcomesWanted.size() - 6));
    }
}

// A camera's pictures go into a subfolder of "Orvanta", found or created once
// per run with the base folder's care. Each row delivers a first picture,
// does something, then delivers a second: Drive ends with the base folder,
// the one subfolder inside it and the second picture once, in the subfolder.
TEST_F(DriveTest, SubfolderDeliveries)
{
    // Between the two: "new run" (a new client), "delete subfolder" or "delete all" on Drive,
    // "answer lost" (the second upload is stored but not answered).
    const struct { const char* subfolder; const char* between; const char* outcomes; int searches, creates; } cases[] = {
        {"Garden", "", "Stored", 2, 2},  // reused without a search
        {"Garden", "new run", "Stored", 4, 2},  // found again, not created
        {"Garden", "delete subfolder", "NotSent Stored", 3, 3},
        {"Garden", "delete all", "NotSent Stored", 5, 4},  // the base folder's absence found through the subfolder's search
        {"Garden", "answer lost", "Unknown Stored", 2, 2},  // looked up in the subfolder
        {"It's \\ mine", "new run", "Stored", 4, 2},
        {"Orvanta", "new run", "Stored", 5, 2},  // the base search finds both: the top one is the base
    };
    const std::string first = provider.Get("/control/jpeg?seed=1"), second = provider.Get("/control/jpeg?seed=2");
    for (const auto& c : cases) {
        const std::string between = c.between;
        SCOPED_TRACE(std::string(c.subfolder) + ", " + between);
        provider.Post("/control/reset");
        Stored(true, "1800000000");
        DriveClientOptions options = Options();
        options.timings.uploadTimeout = 1s;
        EXPECT_EQ(Deliver(Start(options), {first.begin(), first.end()}, "p1.jpg", c.subfolder).first, "Stored");
        if (between == "new run")
            Start(options);
        else if (between == "delete subfolder")
            provider.Post("/control/delete-folder?name=" + UrlEncode(c.subfolder));
        else if (between == "delete all")
            provider.Post("/control/delete-folder");
        else if (between == "answer lost")
            Script("upload", "action=store_then_hang");
        EXPECT_EQ(Deliver(*client, {second.begin(), second.end()}, "p2.jpg", c.subfolder).first, c.outcomes);
        EXPECT_EQ(Count("search"), c.searches);
        EXPECT_EQ(Count("create"), c.creates);
        const json folders = json::parse(provider.Get("/control/folders"));
        ASSERT_EQ(folders.size(), 2u) << folders;
        const json& base = folders[0]["parents"].empty() ? folders[0] : folders[1];
        const json& sub = folders[0]["parents"].empty() ? folders[1] : folders[0];
        EXPECT_EQ(base["name"], "Orvanta");
        EXPECT_EQ(sub["name"], c.subfolder);
        EXPECT_EQ(sub["parents"], json::array({base["id"]}));
        const json files = json::parse(provider.Get("/control/files"));
        EXPECT_EQ(std::count_if(files.begin(), files.end(), [](const json& file) { return file["name"] == "p2.jpg"; }), 1);
        EXPECT_EQ(files.back()["parents"], json::array({sub["id"]})) << files.back()["name"];
    }
}

TEST_F(DriveTest, ConcurrentUploadsCreateOneSubfolder)
{
    Stored(true, "1800000000");
    DriveClient& drive = Start();
    const std::string jpeg = provider.Get("/control/jpeg?seed=1");
    std::vector<std::future<UploadOutcome>> uploads;
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg"})
        uploads.push_back(std::async(std::launch::async, [&, name] {
            return drive.UploadJpeg({jpeg.begin(), jpeg.end()}, name, "Garden", false, kNeverCancelled).outcome;
        }));
    for (auto& upload : uploads)
        EXPECT_EQ(upload.get(), UploadOutcome::Stored);
    EXPECT_EQ(json::parse(provider.Get("/control/folders")).size(), 2u);
}

// Setting an upload's cancel flag, or destroying the client, ends a blocked
// request or retry pause at once instead of waiting out its time.
TEST_F(DriveTest, BlockedCallsEndSoon)
{
    const struct { bool destroy; const char* expiry; const char* endpoint; const char* script; const char* outcome; } cases[] = {
        {false, "1800000000", "upload", "action=hang", "Unknown"},  // the body had left
        {false, "0", "token", "action=status&status=503&times=3", "Cancelled"},  // then in the retry pause
        {true, "1800000000", "upload", "action=hang", "Unknown"},
        {true, "", "authorize", "action=hang", "failed"},  // Authenticate; the user never answers
    };
    const std::string jpeg = provider.Get("/control/jpeg?seed=1");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.endpoint) + (c.destroy ? " destroyed" : " cancelled"));
        provider.Post("/control/reset");
        Stored(true, c.expiry);
        Script(c.endpoint, c.script);
        DriveClientOptions options = Options();
        options.pause = nullptr;  // the client's own
        options.timings.uploadTimeout = options.timings.retryPause = options.timings.redirectWait = 60s;
        DriveClient& drive = Start(options);
        std::atomic<bool> cancel{false};
        auto reported = std::make_shared<std::promise<std::string>>();
        std::future<std::string> done = reported->get_future();
        std::thread caller;
        if (std::string(c.endpoint) == "authorize")
            drive.Authenticate([reported](bool ok, const std::string&) { reported->set_value(ok ? "connected" : "failed"); });
        else
            caller = std::thread([&, reported] { reported->set_value(Name(drive.UploadJpeg({jpeg.begin(), jpeg.end()}, "x.jpg", "", false, cancel).outcome)); });
        ASSERT_TRUE(WaitUntil([&] { return Count(c.endpoint) == 1; }));
        c.destroy ? client.reset() : void(cancel = true);
        EXPECT_EQ(done.wait_for(2s), std::future_status::ready);
        EXPECT_EQ(done.get(), c.outcome);
        if (caller.joinable())
            caller.join();
    }
}
