#include "PreviewImage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

TEST(PreviewImage, FramesAreFittedWithTheirShapeAndCentred)
{
    struct Case {
        int targetWidth, targetHeight, frameWidth, frameHeight;
        PreviewPlacement expected;
    };
    const std::vector<Case> cases = {
        {800, 450, 1920, 1080, {800, 450, 0, 0}},  // same shape: fills the control
        {800, 450, 640, 480, {600, 450, 100, 0}},  // narrower: bars left and right
        {800, 450, 160, 90, {800, 450, 0, 0}},     // small frames are enlarged
        {800, 450, 1000, 100, {800, 80, 0, 185}},  // wider: bars above and below
        {100, 100, 10000, 1, {100, 1, 0, 49}},     // a sliver never scales to nothing
    };
    for (const Case& c : cases) {
        const PreviewPlacement p = ComputePreviewPlacement(c.targetWidth, c.targetHeight, c.frameWidth, c.frameHeight);
        EXPECT_EQ(std::vector<int>({p.scaledWidth, p.scaledHeight, p.x, p.y}),
                  std::vector<int>({c.expected.scaledWidth, c.expected.scaledHeight, c.expected.x, c.expected.y}))
            << c.frameWidth << "x" << c.frameHeight << " into " << c.targetWidth << "x" << c.targetHeight;
    }
}

TEST(PreviewImage, ControlNotYetLaidOutFallsBackToItsMinimumOrAFixedSize)
{
    EXPECT_EQ(PreviewTargetSize(wxSize(800, 450), wxSize(10, 10)), wxSize(800, 450));
    EXPECT_EQ(PreviewTargetSize(wxSize(63, 450), wxSize(320, 200)), wxSize(320, 200));
    EXPECT_EQ(PreviewTargetSize(wxSize(800, 10), wxSize(320, 200)), wxSize(320, 200));
    EXPECT_EQ(PreviewTargetSize(wxSize(0, 0), wxSize(320, 63)), wxSize(960, 540));
    EXPECT_EQ(PreviewTargetSize(wxSize(0, 0), wxSize(-1, -1)), wxSize(960, 540));
}

// What the preview showed before its own shrinking path: the frame copied into
// a wxImage, scaled at high quality, pasted onto the background. Enlarged and
// letterboxed frames are composed the same way.
wxImage ReferenceComposition(const std::vector<uint8_t>& frame, int width, int height, const wxSize& target)
{
    wxImage image(width, height, false);
    std::copy(frame.begin(), frame.end(), image.GetData());
    const PreviewPlacement placement = ComputePreviewPlacement(target.GetWidth(), target.GetHeight(), width, height);
    image.Rescale(placement.scaledWidth, placement.scaledHeight, wxIMAGE_QUALITY_HIGH);
    wxImage canvas(target.GetWidth(), target.GetHeight(), false);
    canvas.SetRGB(wxRect(0, 0, target.GetWidth(), target.GetHeight()), 18, 24, 38);
    canvas.Paste(image, placement.x, placement.y);
    return canvas;
}

TEST(PreviewImage, ShrinkingGivesExactlyTheToolkitsHighQualityResult)
{
    const std::vector<std::pair<wxSize, wxSize>> cases = {
        {{1920, 1080}, {1068, 571}}, {{1280, 720}, {1068, 571}}, {{641, 479}, {300, 200}},
        {{333, 777}, {100, 91}},     {{4000, 30}, {97, 64}},     {{1000, 1000}, {64, 64}},
        {{6000, 4000}, {64, 64}},    {{65, 65}, {64, 64}},       {{320, 240}, {800, 450}},
    };
    uint32_t seed = 12345;
    for (const auto& [size, target] : cases) {
        std::vector<uint8_t> frame(static_cast<size_t>(size.GetWidth()) * size.GetHeight() * 3);
        for (uint8_t& byte : frame) {
            seed = seed * 1664525u + 1013904223u;
            byte = static_cast<uint8_t>(seed >> 24);
        }
        const wxImage expected = ReferenceComposition(frame, size.GetWidth(), size.GetHeight(), target);
        const wxImage actual = ComposePreviewImage(frame, size.GetWidth(), size.GetHeight(), target);
        ASSERT_EQ(actual.GetSize(), expected.GetSize());
        EXPECT_TRUE(std::equal(expected.GetData(), expected.GetData() + 3 * target.GetWidth() * target.GetHeight(),
                               actual.GetData()))
            << size.GetWidth() << "x" << size.GetHeight() << " into " << target.GetWidth() << "x" << target.GetHeight();
    }
}

}  // namespace
