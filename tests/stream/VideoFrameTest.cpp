#include "TestFrames.h"
#include "VideoFrame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

extern "C" {
#include <libavutil/frame.h>
}

namespace {

constexpr uint8_t kUntouched = 0xA5;

// An orange of limited-range 4:2:0: R 244, G 156, B 30 or so.
constexpr uint8_t kY = 160, kU = 60, kV = 190;

struct Geometry { int sourceWidth, sourceHeight, width, height; };

}  // namespace

// Each rectangle sits in a canvas with untouched margins left and right, and
// its last row ends where the canvas's memory ends (AddressSanitizer watches
// the bytes after it).
TEST(RgbConverter, FillsItsRectangleAndNothingElseAtAwkwardSizes)
{
    const Geometry geometries[] = {
        {322, 240, 322, 240},  // the same size, 2 past a multiple of 16: where the fast converter writes on
        {642, 481, 642, 481},  // an odd height
        {641, 480, 641, 480},  // an odd width
        {320, 240, 161, 121},  {320, 240, 1067, 801}, {1920, 1080, 1067, 600}, {17, 16, 1, 1},
    };
    constexpr int kMarginPx = 40;
    for (const Geometry& g : geometries) {
        SCOPED_TRACE(std::to_string(g.sourceWidth) + "x" + std::to_string(g.sourceHeight) + " into " +
                     std::to_string(g.width) + "x" + std::to_string(g.height));
        const VideoFrame frame = UniformFrame(g.sourceWidth, g.sourceHeight, kY, kU, kV);
        RgbConverter converter;
        const std::vector<uint8_t> packed = converter.ToRgb(frame);
        ASSERT_EQ(packed.size(), std::size_t(g.sourceWidth) * g.sourceHeight * 3);
        const uint8_t* colour = &packed[packed.size() / 2 / 3 * 3];
        EXPECT_TRUE(colour[0] > 200 && colour[1] > 120 && colour[1] < 190 && colour[2] < 70)
            << int(colour[0]) << "," << int(colour[1]) << "," << int(colour[2]);
        for (std::size_t i = 0; i < packed.size(); ++i)
            ASSERT_NEAR(packed[i], colour[i % 3], 1) << "packed pixel " << i / 3;

        const std::ptrdiff_t stride = (g.width + 2 * kMarginPx) * 3;
        const std::size_t size = (g.height - 1) * stride + (kMarginPx + g.width) * 3;
        std::unique_ptr<uint8_t[]> canvas(new uint8_t[size]);
        std::memset(canvas.get(), kUntouched, size);
        ASSERT_TRUE(converter.Convert(frame, canvas.get() + kMarginPx * 3, stride, g.width, g.height));
        for (std::size_t i = 0; i < size; ++i) {
            const auto x = static_cast<int>(i % stride / 3) - kMarginPx;
            if (x >= 0 && x < g.width)
                ASSERT_NEAR(canvas[i], colour[i % stride % 3], 2) << "pixel " << x << "," << i / stride;
            else
                ASSERT_EQ(canvas[i], kUntouched) << "written at " << x << "," << i / stride;
        }
    }
    EXPECT_FALSE(RgbConverter().Convert(VideoFrame(), std::vector<uint8_t>(12).data(), 6, 2, 2));
}

// Pictures with 8-bit luma first are held as the decoder made them; others
// become 8-bit 4:2:0 with the same luma.
TEST(VideoFrameMaker, HoldsEightBitLumaAndConvertsTheRest)
{
    const struct { AVPixelFormat format; int fill; uint8_t luma; bool referenced; } cases[] = {
        {AV_PIX_FMT_YUV420P, 100, 100, true},
        {AV_PIX_FMT_NV12, 100, 100, true},
        {AV_PIX_FMT_GRAY8, 100, 100, true},
        {AV_PIX_FMT_YUV420P10LE, 400, 100, false},  // 10-bit luma 400 is 8-bit 100
        {AV_PIX_FMT_RGB24, 128, LimitedLuma(128), false},
        {AV_PIX_FMT_YUYV422, 100, 100, false},
    };
    VideoFrameMaker maker;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        AVFrame* picture = av_frame_alloc();
        picture->format = c.format;
        picture->width = 34;
        picture->height = 20;
        ASSERT_GE(av_frame_get_buffer(picture, 0), 0);
        // Every sample of every plane the same: only luma is looked at.
        for (int i = 0; i < AV_NUM_DATA_POINTERS && picture->buf[i] != nullptr; ++i) {
            if (c.format == AV_PIX_FMT_YUV420P10LE) {
                auto* samples = reinterpret_cast<uint16_t*>(picture->buf[i]->data);
                std::fill(samples, samples + picture->buf[i]->size / 2, uint16_t(c.fill));
            } else {
                std::memset(picture->buf[i]->data, c.fill, picture->buf[i]->size);
            }
        }
        const VideoFrame frame = maker.Make(picture);
        ASSERT_FALSE(frame.IsEmpty());
        EXPECT_EQ(frame.Luma() == picture->data[0], c.referenced);
        av_frame_free(&picture);  // the frame holds its own reference
        ASSERT_EQ(frame.Width(), 34);
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 34; ++x)
                ASSERT_NEAR(frame.Luma()[y * frame.LumaStride() + x], c.luma, 1) << x << "," << y;
    }
    EXPECT_TRUE(maker.Make(nullptr).IsEmpty());
}
