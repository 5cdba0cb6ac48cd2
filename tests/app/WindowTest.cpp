// The real MainFrame in this process, with the camera and the provider stand-in.
#include "WindowFixture.h"
#include "PreviewImage.h"
#include "StdoutCapture.h"
#include "TestCamera.h"

#include <sys/stat.h>

#include <wx/statbmp.h>
#include <wx/statusbr.h>

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
        for (int i = 0; i < 50; ++i) observer.OnFrame(camera, Flat(320, 240, static_cast<uint8_t>(i * 4)), 320, 240);
    }).join();
    EXPECT_LE(frame->Tiles().PendingPreviews(camera), PreviewFeed::kMaxPending);
    ASSERT_TRUE(PumpUntil([&] { return frame->Tiles().PendingPreviews(camera) == 0; }));
    PumpUntil([] { return false; }, 200ms);
    const wxImage shown = wxStaticCast(frame->FindWindowByName("preview"), wxStaticBitmap)->GetBitmap().ConvertToImage();
    EXPECT_EQ(shown.GetRed(shown.GetWidth() / 2, shown.GetHeight() / 2), 49 * 4) << "the newest frame is shown";
}

TEST(PreviewImage, EqualsTheToolkitsOwnHighQualityScalingUpToTheEdges)
{
    const std::pair<wxSize, wxSize> cases[] = {
        {{322, 242}, {1068, 571}}, {{322, 240}, {160, 120}}, {{1920, 1080}, {1068, 571}},
        {{641, 479}, {300, 200}},  {{333, 777}, {100, 91}},  {{65, 65}, {64, 64}},
    };
    uint32_t seed = 12345;
    for (const auto& [size, target] : cases) {
        std::vector<uint8_t> frame(size.GetWidth() * size.GetHeight() * 3);
        for (uint8_t& byte : frame) byte = static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
        wxImage scaled(size.GetWidth(), size.GetHeight(), frame.data(), true);
        const PreviewPlacement at = ComputePreviewPlacement(target.GetWidth(), target.GetHeight(), size.GetWidth(), size.GetHeight());
        scaled = scaled.Scale(at.scaledWidth, at.scaledHeight, wxIMAGE_QUALITY_HIGH);
        wxImage expected(target);
        expected.SetRGB(wxRect(target), 18, 24, 38);
        expected.Paste(scaled, at.x, at.y);
        const wxImage actual = ComposePreviewImage(frame, size.GetWidth(), size.GetHeight(), target);
        ASSERT_EQ(actual.GetSize(), target);
        EXPECT_TRUE(std::equal(expected.GetData(), expected.GetData() + 3 * target.GetWidth() * target.GetHeight(), actual.GetData()))
            << size.GetWidth() << "x" << size.GetHeight() << " into " << target.GetWidth() << "x" << target.GetHeight();
    }
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
