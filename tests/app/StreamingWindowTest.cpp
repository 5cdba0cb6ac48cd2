#include "TestCamera.h"
#include "WindowFixture.h"

#include <wx/bitmap.h>
#include <wx/statbmp.h>

namespace {

using StreamingWindowTest = WindowTest;

// The test camera asks for no credentials, so any user and password pass; the
// password must never reach the status line.
TEST_F(StreamingWindowTest, ConnectsToTheCameraAndShowsItsPictures)
{
    TestCamera camera;
    ASSERT_TRUE(camera.Start());
    std::string url = camera.Url();
    url.insert(std::string("rtsp://").size(), "door:s3cr3t-pw@");
    StoreUrl(url);

    testing::internal::CaptureStdout();
    MainFrame* frame = Open();
    auto* preview = wxDynamicCast(wxWindow::FindWindowByName("preview", frame), wxStaticBitmap);
    const wxImage placeholder = preview->GetBitmap().ConvertToImage();
    const bool shown = PumpUntil([&] {
        const wxImage image = preview->GetBitmap().ConvertToImage();
        return image.GetSize() != placeholder.GetSize() ||
               !std::equal(image.GetData(), image.GetData() + 3 * image.GetWidth() * image.GetHeight(),
                           placeholder.GetData());
    }, 20s);
    const bool closed = CloseAndWait(frame, true);
    const std::string output = testing::internal::GetCapturedStdout();
    const std::vector<std::string> lines = StatusLines(output);

    EXPECT_TRUE(shown) << "no picture reached the preview";
    EXPECT_TRUE(closed);
    ASSERT_GE(lines.size(), 3u) << testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "Connecting to RTSP stream...");
    EXPECT_EQ(lines[1], "Streaming 320x240 from rtsp://door:***@" + camera.Url().substr(7));
    EXPECT_EQ(lines[2], "Receiving frames: 320x240 yuv420p");
    EXPECT_EQ(output.find("s3cr3t-pw"), std::string::npos) << output;
}

}  // namespace
