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

// The planes packed: luma, then Cb and Cr.
std::vector<uint8_t> Packed(const JpegPlanes& planes)
{
    const std::size_t lumaBytes = std::size_t(planes.Width()) * planes.Height();
    const int chromaWidth = (planes.Width() + 1) / 2;
    std::vector<uint8_t> packed(lumaBytes + 2 * std::size_t(chromaWidth) * ((planes.Height() + 1) / 2));
    uint8_t* const cb = packed.data() + lumaBytes;
    EXPECT_TRUE(planes.ReadRows(0, planes.Height(), packed.data(), planes.Width(), cb,
                                cb + (packed.size() - lumaBytes) / 2, chromaWidth));
    return packed;
}

// A picture is kept in the colours the window shows: its planes, read as a
// JPEG decoder reads them (full range, BT.601), give the RGB converter's
// colours, whatever the range and layout the decoder handed out.
TEST(JpegPlanesConverter, KeepsTheColoursTheWindowShows)
{
    const auto planar = [](AVPixelFormat format, int width, int height) {
        AVFrame* picture = av_frame_alloc();
        picture->format = format;
        picture->width = width;
        picture->height = height;
        EXPECT_GE(av_frame_get_buffer(picture, 0), 0);
        std::memset(picture->data[0], kY, std::size_t(picture->linesize[0]) * height);
        const std::size_t chromaRows = format == AV_PIX_FMT_YUV422P ? height : (height + 1) / 2;
        if (format == AV_PIX_FMT_NV12) {
            for (std::size_t i = 0; i + 1 < picture->linesize[1] * chromaRows; i += 2) {
                picture->data[1][i] = kU;
                picture->data[1][i + 1] = kV;
            }
        } else {
            std::memset(picture->data[1], kU, picture->linesize[1] * chromaRows);
            std::memset(picture->data[2], kV, picture->linesize[2] * chromaRows);
        }
        VideoFrame frame(picture);
        av_frame_free(&picture);
        return frame;
    };
    struct Case { const char* what; VideoFrame frame; };
    Case cases[] = {
        {"limited", UniformFrame(322, 240, kY, kU, kV)},
        {"limited, odd size", UniformFrame(33, 17, kY, kU, kV)},
        {"full by format", UniformFrame(64, 48, kY, kU, kV, FrameRange::FullByFormat)},
        {"full by field", UniformFrame(64, 48, kY, kU, kV, FrameRange::FullByField)},
        {"nv12", planar(AV_PIX_FMT_NV12, 64, 48)},
        {"4:2:2", planar(AV_PIX_FMT_YUV422P, 35, 20)},
    };
    JpegPlanesConverter converter;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int width = c.frame.Width();
        const int height = c.frame.Height();
        const std::vector<uint8_t> planes = Packed(converter.Convert(c.frame));
        const std::size_t lumaBytes = std::size_t(width) * height;
        const std::size_t chromaBytes = std::size_t((width + 1) / 2) * ((height + 1) / 2);
        ASSERT_EQ(planes.size(), lumaBytes + 2 * chromaBytes);
        const std::vector<uint8_t> shown = RgbConverter().ToRgb(c.frame);
        ASSERT_EQ(shown.size(), lumaBytes * 3);
        for (std::size_t i = 0; i < lumaBytes; ++i) {
            const std::size_t chroma = (i / width / 2) * ((width + 1) / 2) + i % width / 2;
            const double luma = planes[i];
            const double cb = planes[lumaBytes + chroma] - 128.0;
            const double cr = planes[lumaBytes + chromaBytes + chroma] - 128.0;
            const double kept[3] = {luma + 1.402 * cr, luma - 0.344136 * cb - 0.714136 * cr, luma + 1.772 * cb};
            for (int channel = 0; channel < 3; ++channel)
                ASSERT_NEAR(std::clamp(kept[channel], 0.0, 255.0), shown[i * 3 + channel], 3)
                    << "channel " << channel << " of pixel " << i % width << "," << i / width;
        }
    }
    EXPECT_TRUE(converter.Convert(VideoFrame()).IsEmpty());
}
