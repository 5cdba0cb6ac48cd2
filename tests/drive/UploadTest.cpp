#include "DriveTestFixture.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace {

constexpr int kWidth = 64, kHeight = 48;
// Quadrant colours, top left, top right, bottom left, bottom right.
const int kColours[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};

std::vector<uint8_t> QuadrantFrame()
{
    std::vector<uint8_t> rgb;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            rgb.insert(rgb.end(), kColours[(y >= kHeight / 2) * 2 + (x >= kWidth / 2)],
                       kColours[(y >= kHeight / 2) * 2 + (x >= kWidth / 2)] + 3);
    return rgb;
}

int Upload(GoogleDriveUploader& drive, const std::string& name)
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
    EXPECT_EQ(Count("search"), 1);  // then cached
    EXPECT_EQ(Count("create"), 1);
    EXPECT_EQ(Upload(Start(), "3.jpg"), 1);  // a new run finds the folder
    EXPECT_EQ(Count("search"), 2);
    EXPECT_EQ(Count("create"), 1);
    Script("upload", "action=status&status=500");
    EXPECT_EQ(Upload(*client, "4.jpg"), 0);
    EXPECT_EQ(Upload(*client, "5.jpg"), 1);
    EXPECT_EQ(Count("search"), 3);  // a failed upload forgets the folder

    const std::string folder = provider.Get("/control/report?endpoint=create&field=json.name");
    EXPECT_EQ(folder, "Orvanta");
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(provider.Get("/control/files?field=parents.0&index=" + std::to_string(i)),
                  provider.Get("/control/files?field=parents.0&index=0"));
    EXPECT_EQ(provider.Get("/control/files?field=name&index=0"), "a \"b\" \\c.jpg");
    EXPECT_EQ(provider.Get("/control/files?field=width") + "x" + provider.Get("/control/files?field=height"), "64x48");
    std::string samples = provider.Get("/control/files?field=samples");  // [[r, g, b], ...]
    std::replace_if(samples.begin(), samples.end(), [](char c) { return !std::isdigit(c); }, ' ');
    std::istringstream values(samples);
    for (const auto& colour : kColours)
        for (const int expected : colour) {
            int value = -100;
            values >> value;
            EXPECT_NEAR(value, expected, 16);
        }
}

// Destroying the client while one of its threads is blocked must end that
// thread (its completion reporting failure) instead of waiting out the grace.
class DestroyWhileBlocked : public DriveTest {
protected:
    void ExpectPromptEnd(std::future<bool>& done)
    {
        client.reset();
        ASSERT_EQ(done.wait_for(0s), std::future_status::ready);
        EXPECT_FALSE(done.get());
    }
};

TEST_F(DestroyWhileBlocked, Upload)
{
    Stored(true, "1800000000");
    Script("upload", "action=hang");
    DriveClientOptions options = Options();
    options.timings.uploadTimeout = 60s;
    auto [callback, done] = Completion();
    Start(options).UploadRgbFrame(QuadrantFrame(), kWidth, kHeight, "x.jpg", callback);
    ASSERT_TRUE(WaitUntil([&] { return Count("upload") == 1; }));
    ExpectPromptEnd(done);
}

TEST_F(DestroyWhileBlocked, AuthorizationWait)
{
    DriveClientOptions options = Options();
    auto opened = std::make_shared<std::atomic<bool>>(false);
    options.launchBrowser = [opened](const std::string&) { return *opened = true; };
    options.timings.redirectWait = 60s;
    auto [callback, done] = Completion();
    Start(options).Authenticate(callback);
    ASSERT_TRUE(WaitUntil([&] { return opened->load(); }));
    ExpectPromptEnd(done);
}

TEST_F(DestroyWhileBlocked, RetryPause)
{
    Stored(true, "0");
    Script("token", "action=status&status=503&times=3");
    DriveClientOptions options = Options();
    options.pause = nullptr;  // the client's own pause
    options.timings.retryPause = 60s;
    auto [callback, done] = Completion();
    Start(options).UploadRgbFrame(QuadrantFrame(), kWidth, kHeight, "x.jpg", callback);
    ASSERT_TRUE(WaitUntil([&] { return Count("token") == 1; }));
    ExpectPromptEnd(done);
}

}  // namespace
