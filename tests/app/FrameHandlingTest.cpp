#include "WindowFixture.h"

#include <gtest/gtest.h>

#include <wx/bitmap.h>
#include <wx/statbmp.h>

#include <algorithm>
#include <thread>

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;

// A dark 320x240 scene, with a bright square at `squareX` when it is >= 0.
std::vector<uint8_t> Scene(int squareX, uint8_t level = 20)
{
    std::vector<uint8_t> frame(static_cast<size_t>(kWidth) * kHeight * 3, level);
    if (squareX >= 0) {
        for (int y = 60; y < 180; ++y) {
            for (int x = squareX; x < std::min(kWidth, squareX + 120); ++x) {
                uint8_t* pixel = &frame[(static_cast<size_t>(y) * kWidth + x) * 3];
                pixel[0] = pixel[1] = pixel[2] = 240;
            }
        }
    }
    return frame;
}

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
                frame->HandleDecodedFrame(f, kWidth, kHeight);
            }
        }).join();
    }
};

TEST_F(FrameHandlingTest, MotionStatusIsPostedOnlyWhenTheStateChanges)
{
    MainFrame* frame = Open();
    ASSERT_TRUE(PumpUntil([&] { return Shows(frame, wxString::FromUTF8(kNoUrl)); }));

    testing::internal::CaptureStdout();
    Feed(frame, {Scene(-1), Scene(-1), Scene(20), Scene(120), Scene(180), Scene(180), Scene(180),
                 Scene(40), Scene(40)});
    EXPECT_TRUE(PumpUntil([&] { return frame->PendingPreviewCount() == 0; }));
    PumpFor(std::chrono::milliseconds(100));
    const std::vector<std::string> lines = StatusLines(testing::internal::GetCapturedStdout());
    EXPECT_EQ(lines, (std::vector<std::string>{"Motion detected in stream.", "Receiving frames.",
                                               "Motion detected in stream.", "Receiving frames."}));
}

TEST_F(FrameHandlingTest, PreviewShowsTheAnnotatedFrameLetterboxed)
{
    MainFrame* frame = Open();
    Feed(frame, {Scene(-1), Scene(100)});
    ASSERT_TRUE(PumpUntil([&] { return frame->PendingPreviewCount() == 0; }));
    PumpFor(std::chrono::milliseconds(100));

    const wxImage picture = PreviewPicture(frame);
    ASSERT_TRUE(picture.IsOk());
    // 4:3 frame in a wider control: bars left and right in the background colour.
    ASSERT_GT(picture.GetWidth(), picture.GetHeight() * 4 / 3);
    EXPECT_EQ(picture.GetRed(0, picture.GetHeight() / 2), 18);
    EXPECT_EQ(picture.GetGreen(0, picture.GetHeight() / 2), 24);
    EXPECT_EQ(picture.GetBlue(0, picture.GetHeight() / 2), 38);
    // The motion box (255, 64, 64) made it into the preview.
    int boxPixels = 0;
    for (int y = 0; y < picture.GetHeight(); ++y) {
        for (int x = 0; x < picture.GetWidth(); ++x) {
            if (picture.GetRed(x, y) > 200 && picture.GetGreen(x, y) < 120 &&
                picture.GetBlue(x, y) < 120) {
                ++boxPixels;
            }
        }
    }
    EXPECT_GT(boxPixels, 100);
}

TEST_F(FrameHandlingTest, ASlowGuiThreadKeepsOnlyTheNewestFewFrames)
{
    MainFrame* frame = Open();
    ASSERT_TRUE(PumpUntil([&] { return Shows(frame, wxString::FromUTF8(kNoUrl)); }));

    // The GUI thread runs nothing while the decoder side hands out 50 frames.
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < 50; ++i) {
        frames.push_back(Scene(-1, static_cast<uint8_t>(i * 4)));
    }
    Feed(frame, frames);
    EXPECT_LE(frame->PendingPreviewCount(), MainFrame::kMaxPendingPreviews);
    EXPECT_GE(frame->PendingPreviewCount(), 1u);

    ASSERT_TRUE(PumpUntil([&] { return frame->PendingPreviewCount() == 0; }));
    PumpFor(std::chrono::milliseconds(100));
    // The last frame handed out is the one on screen.
    const wxImage picture = PreviewPicture(frame);
    EXPECT_EQ(picture.GetRed(picture.GetWidth() / 2, picture.GetHeight() / 2), 49 * 4);
}

TEST_F(FrameHandlingTest, ZeroSizedFrameLeavesThePreviewAsItWas)
{
    MainFrame* frame = Open();
    Feed(frame, {Scene(-1, 90)});
    ASSERT_TRUE(PumpUntil([&] { return frame->PendingPreviewCount() == 0; }));
    PumpFor(std::chrono::milliseconds(50));
    const wxImage before = PreviewPicture(frame);

    testing::internal::CaptureStderr();
    frame->UpdatePreview({}, 0, 240);
    frame->UpdatePreview({}, 320, 0);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("[UpdatePreview] early return: null=0 w=0 h=240\n"), std::string::npos)
        << errors;
    EXPECT_NE(errors.find("[UpdatePreview] early return: null=0 w=320 h=0\n"), std::string::npos)
        << errors;

    const wxImage after = PreviewPicture(frame);
    ASSERT_EQ(after.GetSize(), before.GetSize());
    EXPECT_TRUE(std::equal(before.GetData(), before.GetData() + before.GetWidth() * before.GetHeight() * 3,
                           after.GetData()));
}

}  // namespace
