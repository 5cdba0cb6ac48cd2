// Frame upload: JPEG encoding, folder lookup and its cache, the multipart
// request, and failures of each Drive endpoint.

#include "DriveFixture.h"

namespace {

using Endpoint = FakeProvider::Endpoint;

const char kQuery[] = "name='Orvanta' and mimeType='application/vnd.google-apps.folder' and trashed=false";

}  // namespace

class Upload : public DriveFixture {
protected:
    // Uploads a 64x48 red/blue frame and waits for the completion.
    CompletionProbe Send(GoogleDriveUploader& drive, const std::string& name = "motion_20250101_120000.jpg")
    {
        CompletionProbe done;
        drive.UploadRgbFrame(RedBlueFrame(64, 48), 64, 48, name, done.Callback());
        EXPECT_TRUE(done.Wait());
        return done;
    }
};

TEST_F(Upload, FrameArrivesAsJpegInTheFoundFolderAndTheFolderIsCached)
{
    const std::string folder = provider.AddFolder("Orvanta");
    StoreAuthorization(Now() + 1000);
    GoogleDriveUploader& drive = Client();
    StdoutCapture out;
    const CompletionProbe first = Send(drive, "motion_1.jpg");
    const CompletionProbe second = Send(drive, "motion_2.jpg");
    EXPECT_EQ(out.Take(), "[Drive] motion_1.jpg — OK (folderId=" + folder + ")\n[Drive] motion_2.jpg — OK (folderId="
                              + folder + ")\n");
    EXPECT_TRUE(first.ok());
    EXPECT_EQ(first.message(), "Frame uploaded to Google Drive");
    EXPECT_EQ(second.message(), "Frame uploaded to Google Drive");
    EXPECT_EQ(first.calls(), 1);

    EXPECT_EQ(provider.Count(Endpoint::Search), 1u);
    EXPECT_EQ(provider.Count(Endpoint::Create), 0u);
    EXPECT_EQ(provider.Count(Endpoint::Token), 0u);
    const RecordedRequest search = provider.Requests(Endpoint::Search)[0];
    EXPECT_EQ(search.target, "/drive/v3/files?q=" + GoogleDriveUploader::UrlEncode(kQuery)
                                 + "&fields=files(id,name)");

    const auto files = provider.Files();
    ASSERT_EQ(files.size(), 2u);
    for (const UploadedFile& file : files) {
        EXPECT_EQ(file.parents, std::vector<std::string>{folder});
        ASSERT_EQ(file.width, 64);
        ASSERT_EQ(file.height, 48);
        // Red stays red and blue stays blue: the channels were not swapped.
        const auto red = file.RgbAt(10, 24);
        const auto blue = file.RgbAt(54, 24);
        EXPECT_GT(red[0], 200);
        EXPECT_LT(red[2], 50);
        EXPECT_LT(blue[0], 50);
        EXPECT_GT(blue[2], 200);
    }

    const RecordedRequest upload = provider.Requests(Endpoint::Upload)[0];
    EXPECT_EQ(upload.target, "/upload/drive/v3/files?uploadType=multipart");
    EXPECT_EQ(upload.Header("Content-Type"), "multipart/related; boundary=orvanta_7f3a9c");
    const std::string head = "--orvanta_7f3a9c\r\nContent-Type: application/json; charset=UTF-8\r\n\r\n"
                             "{\"name\":\"motion_1.jpg\",\"parents\":[\"" + folder + "\"]}\r\n"
                             "--orvanta_7f3a9c\r\nContent-Type: image/jpeg\r\n\r\n\xFF\xD8";
    EXPECT_EQ(upload.body.substr(0, head.size()), head);
    const std::string tail = "\xFF\xD9\r\n--orvanta_7f3a9c--";
    ASSERT_GT(upload.body.size(), tail.size());
    EXPECT_EQ(upload.body.substr(upload.body.size() - tail.size()), tail);
}

TEST_F(Upload, MissingFolderIsCreatedInTheRoot)
{
    StoreAuthorization(Now() + 1000);
    GoogleDriveUploader& drive = Client();
    EXPECT_TRUE(Send(drive).ok()) << provider.LastRefusal();
    ASSERT_EQ(provider.Count(Endpoint::Create), 1u);
    const RecordedRequest create = provider.Requests(Endpoint::Create)[0];
    EXPECT_EQ(create.body, "{\"name\":\"Orvanta\",\"mimeType\":\"application/vnd.google-apps.folder\"}");
    EXPECT_EQ(create.Header("Content-Type"), "application/json");
    const auto files = provider.Files();
    ASSERT_EQ(files.size(), 1u);
    ASSERT_EQ(files[0].parents.size(), 1u);
    EXPECT_EQ(files[0].parents[0].rfind("folder-", 0), 0u);

    // Later searches find the folder that was made.
    client.reset();
    EXPECT_TRUE(Send(Client()).ok());
    EXPECT_EQ(provider.Count(Endpoint::Create), 1u);
    EXPECT_EQ(provider.Files()[1].parents, files[0].parents);
}

TEST_F(Upload, FolderThatCanBeNeitherFoundNorCreatedLeavesTheFileInTheRoot)
{
    const std::vector<std::pair<FakeProvider::Answer, FakeProvider::Answer>> failures = {
        {{401, "{\"error\": {\"code\": 401, \"status\": \"UNAUTHENTICATED\"}}"},
         {500, "<html>oops</html>", "text/html"}},
        {{200, "\x01garbage{[", "application/octet-stream"}, {403, "{\"error\": {\"code\": 403}}"}},
    };
    StoreAuthorization(Now() + 1000);
    GoogleDriveUploader& drive = Client();
    for (const auto& [search, create] : failures) {
        provider.Script(Endpoint::Search, search);
        provider.Script(Endpoint::Create, create);
        StdoutCapture out;
        const CompletionProbe done = Send(drive, "motion_root.jpg");
        EXPECT_EQ(out.Take(), "[Drive] motion_root.jpg — OK (folderId=root!)\n");
        EXPECT_EQ(done.message(), "Frame uploaded to Google Drive");
    }
    const auto files = provider.Files();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[1].metadataJson, "{\"name\":\"motion_root.jpg\"}");
    EXPECT_TRUE(files[1].parents.empty());
}

TEST_F(Upload, FailedUploadClearsTheFolderCache)
{
    const std::string folder = provider.AddFolder("Orvanta");
    StoreAuthorization(Now() + 1000);
    GoogleDriveUploader& drive = Client();
    provider.Script(Endpoint::Upload, {500, "{\"error\": {\"code\": 500, \"message\": \"Backend Error\"}}"});
    StdoutCapture out;
    const CompletionProbe failed = Send(drive, "motion_a.jpg");
    EXPECT_EQ(out.Take(), "[Drive] motion_a.jpg — FAILED (folderId=" + folder + ")\n");
    EXPECT_FALSE(failed.ok());
    EXPECT_EQ(failed.message(), "Google Drive upload failed");

    EXPECT_TRUE(Send(drive).ok());
    EXPECT_EQ(provider.Count(Endpoint::Search), 2u);
    EXPECT_EQ(provider.Count(Endpoint::Upload), 2u);
}

TEST_F(Upload, SlowUploadSucceedsAndSilentOrIdlessOneFails)
{
    provider.AddFolder("Orvanta");
    StoreAuthorization(Now() + 1000);
    DriveClientOptions options = Options();
    options.timings.uploadTimeout = std::chrono::milliseconds(1500);
    GoogleDriveUploader& drive = Client(options);

    FakeProvider::Answer slow;
    slow.ownAnswer = true;
    slow.delay = std::chrono::milliseconds(300);
    provider.Script(Endpoint::Upload, slow);
    EXPECT_EQ(Send(drive).message(), "Frame uploaded to Google Drive");

    provider.Script(Endpoint::Upload, {200, "", "text/plain", {}, true});
    EXPECT_EQ(Send(drive).message(), "Google Drive upload failed");
    provider.Script(Endpoint::Upload, {200, "{\"kind\": \"drive#file\", \"name\": \"x\"}"});
    const CompletionProbe idless = Send(drive);
    EXPECT_FALSE(idless.ok());
    EXPECT_EQ(idless.message(), "Google Drive upload failed");
}

TEST_F(Upload, FileNameQuotesAndBackslashesAreEscapedInTheMetadata)
{
    const std::string folder = provider.AddFolder("Orvanta");
    StoreAuthorization(Now() + 1000);
    EXPECT_TRUE(Send(Client(), "a\"b\\c.jpg").ok()) << provider.LastRefusal();
    const auto files = provider.Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].metadataJson, "{\"name\":\"a\\\"b\\\\c.jpg\",\"parents\":[\"" + folder + "\"]}");
    EXPECT_EQ(files[0].name, "a\"b\\c.jpg");
}

TEST_F(Upload, WithoutAuthorizationNothingIsSent)
{
    GoogleDriveUploader& drive = Client();
    StdoutCapture out;
    const CompletionProbe done = Send(drive);
    EXPECT_EQ(done.message(), "Not authenticated with Google Drive");
    EXPECT_EQ(out.Take(), "");
    EXPECT_TRUE(provider.Requests().empty());
}

TEST_F(Upload, FramesThatAreNotWidthByHeightRgbAreRejected)
{
    StoreAuthorization(Now() + 1000);
    GoogleDriveUploader& drive = Client();
    const std::vector<std::tuple<std::vector<uint8_t>, int, int>> frames = {
        {std::vector<uint8_t>(64 * 48 * 3 - 1), 64, 48},
        {std::vector<uint8_t>(64 * 48 * 3 + 3), 64, 48},
        {std::vector<uint8_t>(), 0, 48},
        {std::vector<uint8_t>(), 64, 0},
        {std::vector<uint8_t>(12), -2, -2},
    };
    for (const auto& [rgb, width, height] : frames) {
        CompletionProbe done;
        drive.UploadRgbFrame(rgb, width, height, "motion_bad.jpg", done.Callback());
        ASSERT_TRUE(done.Wait());
        EXPECT_EQ(done.message(), "JPEG encoding failed") << width << "x" << height;
    }
    EXPECT_TRUE(provider.Requests().empty());
}

TEST_F(Upload, ConcurrentUploadsWithAnExpiredTokenRefreshOnce)
{
    provider.AddFolder("Orvanta");
    StoreAuthorization(Now() - 5, false);
    FakeProvider::Answer slow;
    slow.ownAnswer = true;
    slow.delay = std::chrono::milliseconds(300);
    provider.Script(Endpoint::Token, slow);
    GoogleDriveUploader& drive = Client();

    CompletionProbe first, second;
    drive.UploadRgbFrame(RedBlueFrame(16, 16), 16, 16, "motion_1.jpg", first.Callback());
    drive.UploadRgbFrame(RedBlueFrame(16, 16), 16, 16, "motion_2.jpg", second.Callback());
    ASSERT_TRUE(first.Wait());
    ASSERT_TRUE(second.Wait());
    EXPECT_EQ(first.message(), "Frame uploaded to Google Drive") << provider.LastRefusal();
    EXPECT_EQ(second.message(), "Frame uploaded to Google Drive");
    EXPECT_EQ(provider.Count(Endpoint::Token), 1u);
    EXPECT_EQ(provider.Files().size(), 2u);
}

TEST_F(Upload, DestroyingTheClientDuringAnUploadIsHarmless)
{
    provider.AddFolder("Orvanta");
    StoreAuthorization(Now() + 1000);
    provider.Script(Endpoint::Upload, {200, "", "text/plain", {}, true});
    DriveClientOptions options = Options();
    options.timings.uploadTimeout = std::chrono::minutes(1);
    CompletionProbe done;
    Client(options).UploadRgbFrame(RedBlueFrame(64, 48), 64, 48, "motion_close.jpg", done.Callback());
    while (provider.Count(Endpoint::Upload) == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    client.reset();
    // The transfer is abandoned long before its time-out.
    ASSERT_TRUE(done.Wait(std::chrono::seconds(10)));
    EXPECT_EQ(done.message(), "Google Drive upload failed");
    EXPECT_EQ(done.calls(), 1);
}

TEST_F(Upload, DisconnectKeepsTheFolderCache)
{
    const std::string folder = provider.AddFolder("Orvanta");
    StoreAuthorization(Now() + 1000);
    GoogleDriveUploader& drive = Client();
    EXPECT_TRUE(Send(drive).ok());
    drive.Disconnect();
    EXPECT_EQ(drive.EnsureFolderExists(), folder);
    EXPECT_EQ(provider.Count(Endpoint::Search), 1u);
    EXPECT_EQ(Send(drive).message(), "Not authenticated with Google Drive");
}
