#include "WindowFixture.h"

#include <wx/bitmap.h>
#include <wx/statbmp.h>

#include <thread>

namespace {

wxImage PreviewPicture(MainFrame* frame)
{
    auto* preview = wxDynamicCast(wxWindow::FindWindowByName("preview", frame), wxStaticBitmap);
    return preview->GetBitmap().ConvertToImage();
}

class FrameHandlingTest : public WindowTest {
protected:
    // Hands frames to the window from a thread of their own, as the decoder
    // does, and waits for them to have been analysed.
    void Feed(MainFrame* frame, const std::vector<std::vector<uint8_t>>& frames)
    {
        std::thread([&] {
            for (const auto& f : frames) {
                frame->HandleDecodedFrame(f, 320, 240);
            }
        }).join();
    }

    bool WaitForPreviews(MainFrame* frame)
    {
        const bool drained = PumpUntil([&] { return frame->PendingPreviewCount() == 0; });
        PumpFor(100ms);
        return drained;
    }
};

TEST_F(FrameHandlingTest, MotionStatusIsPostedOnlyWhenTheStateChanges)
{
    MainFrame* frame = Open();
    ASSERT_TRUE(WaitForText(frame, kNoUrl));

    testing::internal::CaptureStdout();
    Feed(frame, {SceneFrame(-1), SceneFrame(-1), SceneFrame(20), SceneFrame(120), SceneFrame(180), SceneFrame(180),
                 SceneFrame(180), SceneFrame(40), SceneFrame(40)});
    EXPECT_TRUE(WaitForPreviews(frame));
    EXPECT_EQ(CapturedStatusLines(), (std::vector<std::string>{"Motion detected in stream.", "Receiving frames.",
                                                               "Motion detected in stream.", "Receiving frames."}));
}

TEST_F(FrameHandlingTest, PreviewShowsTheAnnotatedFrameLetterboxed)
{
    MainFrame* frame = Open();
    Feed(frame, {SceneFrame(-1), SceneFrame(100)});
    ASSERT_TRUE(WaitForPreviews(frame));

    const wxImage picture = PreviewPicture(frame);
    ASSERT_TRUE(picture.IsOk());
    // 4:3 frame in a wider control: bars left and right in the background colour.
    ASSERT_GT(picture.GetWidth(), picture.GetHeight() * 4 / 3);
    const int middle = picture.GetHeight() / 2;
    EXPECT_EQ(std::vector<int>({picture.GetRed(0, middle), picture.GetGreen(0, middle), picture.GetBlue(0, middle)}),
              std::vector<int>({18, 24, 38}));
    // The motion box (255, 64, 64) made it into the preview.
    int boxPixels = 0;
    for (int y = 0; y < picture.GetHeight(); ++y) {
        for (int x = 0; x < picture.GetWidth(); ++x) {
            boxPixels += picture.GetRed(x, y) > 200 && picture.GetGreen(x, y) < 120 && picture.GetBlue(x, y) < 120;
        }
    }
    EXPECT_GT(boxPixels, 100);
}

TEST_F(FrameHandlingTest, ASlowGuiThreadKeepsOnlyTheNewestFewFrames)
{
    MainFrame* frame = Open();
    ASSERT_TRUE(WaitForText(frame, kNoUrl));

    // The GUI thread runs nothing while the decoder side hands out 50 frames.
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < 50; ++i) {
        frames.push_back(SceneFrame(-1, static_cast<uint8_t>(i * 4)));
    }
    Feed(frame, frames);
    EXPECT_LE(frame->PendingPreviewCount(), MainFrame::kMaxPendingPreviews);
    EXPECT_GE(frame->PendingPreviewCount(), 1u);

    ASSERT_TRUE(WaitForPreviews(frame));
    // The last frame handed out is the one on screen.
    const wxImage picture = PreviewPicture(frame);
    EXPECT_EQ(picture.GetRed(picture.GetWidth() / 2, picture.GetHeight() / 2), 49 * 4);
}

TEST_F(FrameHandlingTest, ZeroSizedFrameLeavesThePreviewAsItWas)
{
    MainFrame* frame = Open();
    Feed(frame, {SceneFrame(-1, 90)});
    ASSERT_TRUE(WaitForPreviews(frame));
    const wxImage before = PreviewPicture(frame);

    testing::internal::CaptureStderr();
    frame->UpdatePreview({}, 0, 240);
    frame->UpdatePreview({}, 320, 0);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("[UpdatePreview] early return: null=0 w=0 h=240\n"), std::string::npos) << errors;
    EXPECT_NE(errors.find("[UpdatePreview] early return: null=0 w=320 h=0\n"), std::string::npos) << errors;

    const wxImage after = PreviewPicture(frame);
    ASSERT_EQ(after.GetSize(), before.GetSize());
    EXPECT_TRUE(std::equal(before.GetData(), before.GetData() + before.GetWidth() * before.GetHeight() * 3,
                           after.GetData()));
}

}  // namespace
