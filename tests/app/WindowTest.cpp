// The real MainFrame in this process, with the camera and the provider stand-in.
#include "WindowFixture.h"
#include "PreviewImage.h"
#include "StdoutCapture.h"
#include "TestCamera.h"
#include "TestFrames.h"

#include <sys/stat.h>

#include <wx/statbmp.h>
#include <wx/statusbr.h>

#include <array>
#include <fstream>

namespace {

TEST_F(WindowTest, CameraPasswordNeverReachesTheStatusLineNorStandardOutput)
{
    TestCamera camera;
    ASSERT_TRUE(camera.Start());
    StoreUrl(std::string(camera.Url()).insert(7, "door:s3cr3t-pw@"));
    StdoutCapture output;
    MainFrame* frame = Open();
    const bool streaming = WaitForLabel(frame, "Streaming ");
    const wxString label = Label(frame), bar = frame->GetStatusBar()->GetStatusText(0);
    const bool receiving = WaitForLabel(frame, "Receiving frames: ");
    const std::string text = output.Take();
    ASSERT_TRUE(streaming) << text;
    EXPECT_TRUE(label.Contains("door:***@") && bar == label) << label;
    EXPECT_TRUE(receiving) << "the decoder connects with the password";
    EXPECT_EQ(text.find("s3cr3t-pw"), std::string::npos) << text;
}

TEST_F(WindowTest, CallsForAWindowThatIsGoneAreDropped)
{
    MainFrame* frame = Open();
    frame->PostStatus("queued before the window went");
    frames.clear();
    delete frame;  // the queued status must find nothing to show it on
    PumpUntil([] { return false; }, 100ms);
    queue->Detach();
    bool ran = false;
    EXPECT_FALSE(queue->Post([&ran] { ran = true; }));
    PumpUntil([] { return false; }, 100ms);
    EXPECT_FALSE(ran);
}

TEST_F(WindowTest, ASlowGuiThreadDrawsOnlyTheNewestFewFrames)
{
    MainFrame* frame = Open();
    ASSERT_TRUE(WaitForLabel(frame, wxString::FromUTF8(kNoUrl)));
    ApplicationObserver& observer = *frame;
    const CameraId camera = applications.back()->Cameras().front().id;
    std::thread([&] {
        for (int i = 0; i < 50; ++i) observer.OnFrame(camera, UniformFrame(320, 240, LimitedLuma(i * 4)), MotionResult());
    }).join();
    EXPECT_LE(frame->Tiles().PendingPreviews(camera), PreviewFeed::kMaxPending);
    ASSERT_TRUE(PumpUntil([&] { return frame->Tiles().PendingPreviews(camera) == 0; }));
    PumpUntil([] { return false; }, 200ms);
    const wxImage shown = wxStaticCast(frame->FindWindowByName("preview"), wxStaticBitmap)->GetBitmap().ConvertToImage();
    EXPECT_NEAR(shown.GetRed(shown.GetWidth() / 2, shown.GetHeight() / 2), 49 * 4, 1) << "the newest frame is shown";
}

// Converted at the size it is drawn, letterboxed, marked where the full-size
// marks would be once shrunk; one conversion a picture.
TEST(PreviewRenderer, DrawsTheFrameAtTheSizeItIsShownWithItsMarks)
{
    const std::pair<wxSize, wxSize> cases[] = {
        {{1920, 1080}, {1068, 571}}, {{322, 240}, {160, 120}}, {{641, 479}, {300, 200}}, {{320, 240}, {1067, 801}},
    };
    PreviewRenderer renderer;
    for (const auto& [size, target] : cases) {
        SCOPED_TRACE(testing::Message() << size.GetWidth() << "x" << size.GetHeight() << " into "
                                        << target.GetWidth() << "x" << target.GetHeight());
        const int w = size.GetWidth(), h = size.GetHeight();
        const MotionResult motion{true, {{w / 4, h / 3, w / 2, h / 3}}};
        const auto before = renderer.ConversionCount();
        const wxImage image = renderer.Render(UniformFrame(w, h, LimitedLuma(128)), motion, target);
        ASSERT_TRUE(image.IsOk());
        EXPECT_EQ(image.GetSize(), target);
        EXPECT_EQ(renderer.ConversionCount(), before + 1);
        const PreviewPlacement at = ComputePreviewPlacement(target.GetWidth(), target.GetHeight(), w, h);
        const double scale = double(at.scaledWidth) / w;
        const auto colour = [&](int x, int y) { return std::array<int, 3>{image.GetRed(x, y), image.GetGreen(x, y), image.GetBlue(x, y)}; };
        std::vector<wxPoint> bars;  // a pixel of each bar there is
        if (at.x > 0) bars.emplace_back(0, target.GetHeight() / 2);
        if (at.x + at.scaledWidth < target.GetWidth()) bars.emplace_back(target.GetWidth() - 1, target.GetHeight() / 2);
        if (at.y > 0) bars.emplace_back(target.GetWidth() / 2, 0);
        if (at.y + at.scaledHeight < target.GetHeight()) bars.emplace_back(target.GetWidth() / 2, target.GetHeight() - 1);
        ASSERT_FALSE(bars.empty());
        for (const wxPoint& bar : bars)
            EXPECT_EQ(colour(bar.x, bar.y), (std::array<int, 3>{18, 24, 38})) << "the bar at " << bar.x << "," << bar.y;
        const std::array<int, 3> grey = colour(at.x + at.scaledWidth / 8, at.y + at.scaledHeight * 7 / 8);
        EXPECT_TRUE(std::abs(grey[0] - 128) <= 1 && grey[0] == grey[1] && grey[1] == grey[2]) << grey[0];
        const int boxLeft = at.x + cvRound(w / 4 * scale), boxMiddle = at.y + cvRound((h / 3 + h / 6) * scale);
        EXPECT_EQ(colour(boxLeft, boxMiddle), (std::array<int, 3>{255, 64, 64})) << "the box's left edge";
        EXPECT_EQ(colour(boxLeft - 2 - cvRound(2 * scale), boxMiddle), grey) << "just outside it";
    }
    EXPECT_FALSE(renderer.Render(VideoFrame(), MotionResult(), {100, 100}).IsOk());
}

TEST_F(WindowTest, ConfigurationFileIsPrivateAndGarbageInItDoesNotStopTheWindow)
{
    const std::string file = home + "/Orvanta.conf";
    for (const char* contents : {"", "\x01\xff[[[ not a config\n=\n[Stream\nRtspUrl\n\xc3\x28\n"}) {
        CloseConfigStore();
        std::remove(file.c_str());
        if (*contents != '\0') std::ofstream(file) << contents;
        chmod(file.c_str(), 0644);
        OpenConfigStore();
        MainFrame* frame = Open();
        EXPECT_TRUE(WaitForLabel(frame, wxString::FromUTF8(kNoUrl))) << contents;
        struct stat info {};
        EXPECT_EQ(stat(file.c_str(), &info) == 0 ? info.st_mode & 0777 : 0, 0600u) << contents;
    }
}

TEST_F(WindowTest, AConnectedWindowUploadsMotionAtMostOncePerSecondUntilDisconnected)
{
    FakeProvider provider;
    TestCamera camera;
    ASSERT_TRUE(camera.Start());
    StoreUrl(camera.Url());
    MainFrame* frame = Open(WithProvider(provider));
    const auto uploads = [&] { return Uploads(provider); };

    ASSERT_TRUE(PumpUntil([&] { return uploads() >= 1; }, 30s)) << Label(frame);
    PumpUntil([] { return false; }, 3s);
    EXPECT_LE(uploads(), 5) << "at most one upload a second in 3 s, one more perhaps under way";

    wxCommandEvent disconnect(wxEVT_MENU, ID_DRIVE_DISCONNECT);
    frame->ProcessWindowEvent(disconnect);
    // Statuses show in posting order: by then every one posted before Disconnect has been shown.
    ASSERT_TRUE(WaitForLabel(frame, "Disconnected from Google Drive."));
    StdoutCapture output;
    PumpUntil([] { return false; }, 3s);
    const std::string text = output.Take();
    int started = 0;  // one upload decided at the very moment of Disconnect may still show
    for (size_t at = text.find("Uploading to"); at != std::string::npos; at = text.find("Uploading to", at + 1)) ++started;
    EXPECT_LE(started, 1) << text;
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    // A failed toolkit assertion fails the running test instead of opening a dialog.
    wxSetAssertHandler([](const wxString& file, int line, const wxString&, const wxString& cond, const wxString& msg) {
        ADD_FAILURE() << "wx assertion at " << file << ":" << line << ": " << cond << " " << msg;
    });
    wxApp::SetInstance(new WindowTestApp);
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) return 2;
    int result = 0;
    {
        wxEventLoop loop;
        wxEventLoopActivator activate(&loop);
        result = RUN_ALL_TESTS();
    }
    wxTheApp->OnExit();
    wxEntryCleanup();
    return result;
}
