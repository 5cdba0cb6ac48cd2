#include "DriveTestFixture.h"

#include <algorithm>
#include <sstream>

constexpr int kWidth = 64, kHeight = 48;
const int kColours[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};  // quadrants TL, TR, BL, BR

static std::vector<uint8_t> QuadrantFrame()
{
    std::vector<uint8_t> rgb;
    for (int i = 0; i < kWidth * kHeight; ++i) {
        const int* colour = kColours[(i / kWidth >= kHeight / 2) * 2 + (i % kWidth >= kWidth / 2)];
        rgb.insert(rgb.end(), colour, colour + 3);
    }
    return rgb;
}

static int Upload(GoogleDriveUploader& drive, const std::string& name)
{
    auto [callback, done] = Completion();
    drive.UploadRgbFrame(QuadrantFrame(), kWidth, kHeight, name, callback);
    return Outcome(done);
}

TEST_F(DriveTest, UploadsJpegsIntoOneFolderFoundOrCreated)
{
    Stored(true, "1800000000");
    EXPECT_EQ(Upload(Start(), "a \"b\" \\c.jpg"), 1);
    EXPECT_EQ(Upload(*client, "2.jpg"), 1);
    EXPECT_EQ(Count("search") * 10 + Count("create"), 11);  // then cached
    EXPECT_EQ(Upload(Start(), "3.jpg"), 1);
    EXPECT_EQ(Count("search") * 10 + Count("create"), 21);  // a new run finds it
    Script("upload", "action=status&status=500");
    EXPECT_EQ(Upload(*client, "4.jpg"), 0);
    EXPECT_EQ(Upload(*client, "5.jpg"), 1);
    EXPECT_EQ(Count("search"), 3);  // a failed upload forgets the folder

    EXPECT_EQ(provider.Get("/control/report?endpoint=create&field=json.name"), "Orvanta");
    for (const char* index : {"0", "1", "2", "3"})
        EXPECT_EQ(provider.Get("/control/files?field=parents&index=" + std::string(index)), R"(["folder-1"])");
    EXPECT_EQ(provider.Get("/control/files?field=name&index=0"), "a \"b\" \\c.jpg");
    EXPECT_EQ(provider.Get("/control/files?field=width") + "x" + provider.Get("/control/files?field=height"), "64x48");
    std::string samples = provider.Get("/control/files?field=samples");  // [[r, g, b], ...]
    std::replace_if(samples.begin(), samples.end(), [](char c) { return !std::isdigit(c); }, ' ');
    std::istringstream values(samples);
    for (const auto& colour : kColours)
        for (int expected : colour) {
            int value = -100;
            EXPECT_NEAR((values >> value, value), expected, 16);
        }
}

// Destroying the client while one of its threads is blocked ends that thread,
// its completion reporting failure, instead of waiting out the grace period.
TEST_F(DriveTest, DestructionEndsBlockedThreads)
{
    const struct { bool upload; const char* expiry; const char* endpoint; const char* script; } cases[] = {
        {true, "1800000000", "upload", "action=hang"},
        {true, "0", "token", "action=status&status=503&times=3"},  // then in the retry pause
        {false, "", "authorize", "action=hang"},  // the user never answers
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.endpoint);
        provider.Post("/control/reset");
        Stored(true, c.expiry);
        Script(c.endpoint, c.script);
        DriveClientOptions options = Options();
        options.pause = nullptr;  // the client's own
        options.timings.uploadTimeout = options.timings.retryPause = options.timings.redirectWait = 60s;
        auto [callback, done] = Completion();
        c.upload ? Start(options).UploadRgbFrame(QuadrantFrame(), kWidth, kHeight, "x.jpg", callback)
                 : Start(options).Authenticate(callback);
        ASSERT_TRUE(WaitUntil([&] { return Count(c.endpoint) == 1; }));
        client.reset();
        EXPECT_EQ(Outcome(done, 0s), 0);
    }
}
