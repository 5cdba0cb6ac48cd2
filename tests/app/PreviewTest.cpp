#include "PreviewImage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

std::vector<uint8_t> SolidFrame(int width, int height, uint8_t r, uint8_t g, uint8_t b)
{
    std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0; i < frame.size(); i += 3) {
        frame[i] = r;
        frame[i + 1] = g;
        frame[i + 2] = b;
    }
    return frame;
}

::testing::AssertionResult PixelIs(const wxImage& image, int x, int y, int r, int g, int b)
{
    const int tolerance = 2;  // high-quality scaling may shift a level or two
    const int pr = image.GetRed(x, y), pg = image.GetGreen(x, y), pb = image.GetBlue(x, y);
    if (std::abs(pr - r) <= tolerance && std::abs(pg - g) <= tolerance &&
        std::abs(pb - b) <= tolerance) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "pixel (" << x << "," << y << ") is (" << pr << ","
                                         << pg << "," << pb << "), expected (" << r << "," << g
                                         << "," << b << ")";
}

TEST(PreviewImage, WideFrameFillsAControlOfTheSameShape)
{
    const PreviewPlacement placement = ComputePreviewPlacement(800, 450, 1920, 1080);
    EXPECT_EQ(placement.scaledWidth, 800);
    EXPECT_EQ(placement.scaledHeight, 450);
    EXPECT_EQ(placement.x, 0);
    EXPECT_EQ(placement.y, 0);

    const wxImage image =
        ComposePreviewImage(SolidFrame(1920, 1080, 200, 10, 10), 1920, 1080, wxSize(800, 450));
    ASSERT_EQ(image.GetSize(), wxSize(800, 450));
    EXPECT_TRUE(PixelIs(image, 0, 0, 200, 10, 10));
    EXPECT_TRUE(PixelIs(image, 799, 449, 200, 10, 10));
}

TEST(PreviewImage, NarrowFrameIsCentredBetweenBars)
{
    const PreviewPlacement placement = ComputePreviewPlacement(800, 450, 640, 480);
    EXPECT_EQ(placement.scaledWidth, 600);
    EXPECT_EQ(placement.scaledHeight, 450);
    EXPECT_EQ(placement.x, 100);
    EXPECT_EQ(placement.y, 0);

    const wxImage image =
        ComposePreviewImage(SolidFrame(640, 480, 10, 200, 10), 640, 480, wxSize(800, 450));
    ASSERT_EQ(image.GetSize(), wxSize(800, 450));
    EXPECT_TRUE(PixelIs(image, 99, 200, 18, 24, 38));
    EXPECT_TRUE(PixelIs(image, 100, 200, 10, 200, 10));
    EXPECT_TRUE(PixelIs(image, 699, 200, 10, 200, 10));
    EXPECT_TRUE(PixelIs(image, 700, 200, 18, 24, 38));
}

TEST(PreviewImage, SmallFramesAreEnlargedAndTallOnesGetBarsAboveAndBelow)
{
    const PreviewPlacement small = ComputePreviewPlacement(800, 450, 160, 90);
    EXPECT_EQ(small.scaledWidth, 800);
    EXPECT_EQ(small.scaledHeight, 450);

    const PreviewPlacement tall = ComputePreviewPlacement(800, 450, 1000, 100);
    EXPECT_EQ(tall.scaledWidth, 800);
    EXPECT_EQ(tall.scaledHeight, 80);
    EXPECT_EQ(tall.y, 185);

    // A sliver never scales to nothing.
    const PreviewPlacement sliver = ComputePreviewPlacement(100, 100, 10000, 1);
    EXPECT_EQ(sliver.scaledHeight, 1);
    EXPECT_EQ(sliver.y, 49);
}

TEST(PreviewImage, ControlNotYetLaidOutFallsBackToItsMinimumOrAFixedSize)
{
    EXPECT_EQ(PreviewTargetSize(wxSize(800, 450), wxSize(10, 10)), wxSize(800, 450));
    EXPECT_EQ(PreviewTargetSize(wxSize(63, 450), wxSize(320, 200)), wxSize(320, 200));
    EXPECT_EQ(PreviewTargetSize(wxSize(800, 10), wxSize(320, 200)), wxSize(320, 200));
    EXPECT_EQ(PreviewTargetSize(wxSize(0, 0), wxSize(320, 63)), wxSize(960, 540));
    EXPECT_EQ(PreviewTargetSize(wxSize(0, 0), wxSize(-1, -1)), wxSize(960, 540));
}

}  // namespace

namespace {

// What the preview showed before its own shrinking path: the frame copied into
// a wxImage, scaled at high quality, pasted onto the background.
wxImage ReferenceComposition(const std::vector<uint8_t>& frame, int width, int height,
                             const wxSize& target)
{
    wxImage image(width, height, false);
    std::copy(frame.begin(), frame.end(), image.GetData());
    const PreviewPlacement placement =
        ComputePreviewPlacement(target.GetWidth(), target.GetHeight(), width, height);
    image.Rescale(placement.scaledWidth, placement.scaledHeight, wxIMAGE_QUALITY_HIGH);
    wxImage canvas(target.GetWidth(), target.GetHeight(), false);
    canvas.SetRGB(wxRect(0, 0, target.GetWidth(), target.GetHeight()), 18, 24, 38);
    canvas.Paste(image, placement.x, placement.y);
    return canvas;
}

TEST(PreviewImage, ShrinkingGivesExactlyTheToolkitsHighQualityResult)
{
    struct Case {
        int width, height, targetWidth, targetHeight;
    };
    const std::vector<Case> cases = {
        {1920, 1080, 1068, 571}, {1280, 720, 1068, 571}, {641, 479, 300, 200},
        {333, 777, 100, 91},     {4000, 30, 97, 64},     {1000, 1000, 64, 64},
        {6000, 4000, 64, 64},    {65, 65, 64, 64},       {320, 240, 800, 450},
    };
    uint32_t seed = 12345;
    for (const Case& c : cases) {
        std::vector<uint8_t> frame(static_cast<size_t>(c.width) * c.height * 3);
        for (uint8_t& byte : frame) {
            seed = seed * 1664525u + 1013904223u;
            byte = static_cast<uint8_t>(seed >> 24);
        }
        const wxSize target(c.targetWidth, c.targetHeight);
        const wxImage expected = ReferenceComposition(frame, c.width, c.height, target);
        const wxImage actual = ComposePreviewImage(frame, c.width, c.height, target);
        ASSERT_EQ(actual.GetSize(), expected.GetSize());
        EXPECT_TRUE(std::equal(expected.GetData(),
                               expected.GetData() + 3 * c.targetWidth * c.targetHeight,
                               actual.GetData()))
            << c.width << "x" << c.height << " into " << c.targetWidth << "x" << c.targetHeight;
    }
}

}  // namespace
