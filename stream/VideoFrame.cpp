#include "VideoFrame.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace {

// swscale's fast same-size converter (SIMD, used for 4:2:0 and 4:2:2 input
// with no SWS_ACCURATE_RND) converts rows in whole blocks of 16 pixels: into
// a row with no room for the last whole block it leaves the right-most pixels
// unconverted, and otherwise it writes up to the end of that block, past the
// row's width. ToRgb therefore converts into rows padded to whole blocks, with
// slack after the last row, and packs them afterwards.
constexpr int kConverterBlockPixels = 16;
constexpr std::size_t kTailSlackBytes = 64;

// swscale's generic path, which the fast same-size converter leaves to
// pictures of odd height, keeps that converter's levels (white 255, not 253)
// only with full chroma interpolation.
constexpr int kFastFlags = SWS_BILINEAR | SWS_FULL_CHR_H_INT;
// SWS_ACCURATE_RND keeps swscale off its block-wise fast paths: its generic
// path writes each row's pixels and nothing beyond them, also when it scales.
// The fast bilinear scaler costs a third less than the exact one at preview
// sizes.
constexpr int kExactFlags = SWS_FAST_BILINEAR | SWS_FULL_CHR_H_INT | SWS_ACCURATE_RND;

bool IsFullRangeFormat(int format)
{
    switch (format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
    case AV_PIX_FMT_GRAY8:
        return true;
    default:
        return false;
    }
}

}  // namespace

bool HasEightBitLumaPlane(int pixelFormat)
{
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(pixelFormat));
    constexpr auto kOtherLayouts = AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM |
                                   AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BAYER | AV_PIX_FMT_FLAG_FLOAT;
    if (descriptor == nullptr || descriptor->nb_components < 1 || (descriptor->flags & kOtherLayouts) != 0) {
        return false;
    }
    const AVComponentDescriptor& luma = descriptor->comp[0];
    return luma.plane == 0 && luma.depth == 8 && luma.step == 1 && luma.offset == 0 && luma.shift == 0;
}

VideoFrame::VideoFrame(const AVFrame* source)
{
    if (source != nullptr && source->width > 0 && source->height > 0 && HasEightBitLumaPlane(source->format)) {
        picture = av_frame_clone(source);
    }
}

VideoFrame::~VideoFrame()
{
    av_frame_free(&picture);
}

VideoFrame::VideoFrame(VideoFrame&& other) noexcept : picture(std::exchange(other.picture, nullptr)) {}

VideoFrame& VideoFrame::operator=(VideoFrame&& other) noexcept
{
    if (this != &other) {
        av_frame_free(&picture);
        picture = std::exchange(other.picture, nullptr);
    }
    return *this;
}

int VideoFrame::Width() const noexcept
{
    return picture != nullptr ? picture->width : 0;
}

int VideoFrame::Height() const noexcept
{
    return picture != nullptr ? picture->height : 0;
}

const std::uint8_t* VideoFrame::Luma() const noexcept
{
    return picture != nullptr ? picture->data[0] : nullptr;
}

int VideoFrame::LumaStride() const noexcept
{
    return picture != nullptr ? picture->linesize[0] : 0;
}

bool VideoFrame::IsLimitedRange() const noexcept
{
    return picture != nullptr && !IsFullRangeFormat(picture->format) && picture->color_range != AVCOL_RANGE_JPEG;
}

VideoFrameMaker::~VideoFrameMaker()
{
    sws_freeContext(converter);
}

VideoFrame VideoFrameMaker::Make(const AVFrame* picture)
{
    if (picture == nullptr || picture->width < 1 || picture->height < 1) {
        return VideoFrame();
    }
    if (HasEightBitLumaPlane(picture->format)) {
        return VideoFrame(picture);
    }
    converter = sws_getCachedContext(converter, picture->width, picture->height,
                                     static_cast<AVPixelFormat>(picture->format), picture->width, picture->height,
                                     AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (converter == nullptr) {
        return VideoFrame();
    }
    // A buffer of its own each time: the frames made before may still be held.
    AVFrame* converted = av_frame_alloc();
    if (converted == nullptr) {
        return VideoFrame();
    }
    converted->format = AV_PIX_FMT_YUV420P;
    converted->width = picture->width;
    converted->height = picture->height;
    converted->color_range = AVCOL_RANGE_MPEG;
    VideoFrame frame;
    if (av_frame_get_buffer(converted, 0) >= 0 &&
        sws_scale(converter, picture->data, picture->linesize, 0, picture->height, converted->data,
                  converted->linesize) == picture->height) {
        frame = VideoFrame(converted);
    }
    av_frame_free(&converted);
    return frame;
}

RgbConverter::~RgbConverter()
{
    sws_freeContext(context);
}

bool RgbConverter::Prepare(const VideoFrame& frame, int width, int height, int flags)
{
    const AVFrame* picture = frame.Picture();
    const bool limitedRange = frame.IsLimitedRange();
    // Compared here rather than by sws_getCachedContext, which takes a
    // full-range (yuvj) source for a changed one every time: swscale rewrites
    // such formats inside its context.
    if (context != nullptr && contextSourceWidth == picture->width && contextSourceHeight == picture->height &&
        contextSourceFormat == picture->format && contextWidth == width && contextHeight == height &&
        contextFlags == flags && contextLimitedRange == limitedRange) {
        return true;
    }
    sws_freeContext(context);
    context = sws_getContext(picture->width, picture->height, static_cast<AVPixelFormat>(picture->format), width,
                             height, AV_PIX_FMT_RGB24, flags, nullptr, nullptr, nullptr);
    if (context == nullptr) {
        return false;
    }
    // A picture that says it is full range is converted as one, as the
    // detector reads it; the yuvj formats are that already.
    int* inverseTable = nullptr;
    int* table = nullptr;
    int sourceRange = 0;
    int destinationRange = 0;
    int brightness = 0;
    int contrast = 0;
    int saturation = 0;
    if (sws_getColorspaceDetails(context, &inverseTable, &sourceRange, &table, &destinationRange, &brightness,
                                 &contrast, &saturation) >= 0) {
        sws_setColorspaceDetails(context, inverseTable, limitedRange ? 0 : 1, table, destinationRange, brightness,
                                 contrast, saturation);
    }
    contextSourceWidth = picture->width;
    contextSourceHeight = picture->height;
    contextSourceFormat = picture->format;
    contextWidth = width;
    contextHeight = height;
    contextFlags = flags;
    contextLimitedRange = limitedRange;
    return true;
}

bool RgbConverter::Convert(const VideoFrame& frame, std::uint8_t* rgb, std::ptrdiff_t rowStride, int width,
                           int height)
{
    if (frame.IsEmpty() || rgb == nullptr || width < 1 || height < 1 || rowStride < std::ptrdiff_t{width} * 3 ||
        rowStride > std::numeric_limits<int>::max() || !Prepare(frame, width, height, kExactFlags)) {
        return false;
    }
    const AVFrame* picture = frame.Picture();
    std::uint8_t* const planes[4] = {rgb, nullptr, nullptr, nullptr};
    const int strides[4] = {static_cast<int>(rowStride), 0, 0, 0};
    if (sws_scale(context, picture->data, picture->linesize, 0, picture->height, planes, strides) != height) {
        return false;
    }
    ++conversions;
    return true;
}

std::vector<std::uint8_t> RgbConverter::ToRgb(const VideoFrame& frame)
{
    if (frame.IsEmpty() || !Prepare(frame, frame.Width(), frame.Height(), kFastFlags)) {
        return {};
    }
    const int width = frame.Width();
    const int height = frame.Height();
    const int paddedWidth = (width + kConverterBlockPixels - 1) / kConverterBlockPixels * kConverterBlockPixels;
    const std::size_t paddedRowBytes = static_cast<std::size_t>(paddedWidth) * 3;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    std::vector<std::uint8_t> rgb(paddedRowBytes * static_cast<std::size_t>(height) + kTailSlackBytes);
    const AVFrame* picture = frame.Picture();
    std::uint8_t* const planes[4] = {rgb.data(), nullptr, nullptr, nullptr};
    const int strides[4] = {static_cast<int>(paddedRowBytes), 0, 0, 0};
    if (sws_scale(context, picture->data, picture->linesize, 0, height, planes, strides) != height) {
        return {};
    }
    // Packed in place, top row first: every row moves towards the front, and
    // never onto a row not yet moved.
    for (int y = 1; y < height; ++y) {
        std::memmove(rgb.data() + y * rowBytes, rgb.data() + y * paddedRowBytes, rowBytes);
    }
    rgb.resize(rowBytes * static_cast<std::size_t>(height));
    ++conversions;
    return rgb;
}
