#include "VideoFrame.h"

#include <array>
#include <cstring>
#include <limits>
#include <utility>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace {

// swscale's SIMD YUV-to-RGB converter (used for 4:2:0 and 4:2:2 pictures of
// even height converted at their own size) converts rows in whole blocks of
// 16 pixels: into a row with no room for the last whole block it leaves the
// right-most pixels unconverted, and otherwise it writes up to the end of that
// block, past the row's width and, after the last row, past the picture.
// Everything it writes therefore goes into rows padded to whole blocks, with
// slack after the last row.
constexpr int kConverterBlockPixels = 16;
constexpr std::size_t kTailSlackBytes = 64;

// The generic path, which the SIMD converter leaves to pictures of odd height
// and other formats, keeps the SIMD converter's levels (white 255, not 253)
// only with full chroma interpolation.
constexpr int kColourFlags = SWS_BILINEAR | SWS_FULL_CHR_H_INT;
// Scaling 4:2:0 planes runs on SIMD code; the fast bilinear scaler costs a
// third of the exact one at preview sizes.
constexpr int kScaleFlags = SWS_FAST_BILINEAR;

std::size_t PaddedRowBytes(int width)
{
    return static_cast<std::size_t>((width + kConverterBlockPixels - 1) / kConverterBlockPixels *
                                    kConverterBlockPixels) * 3;
}

// One swscale context, made again only when what it converts changes.
class SwsStage {
public:
    SwsStage() = default;
    ~SwsStage() { sws_freeContext(context); }
    SwsStage(const SwsStage&) = delete;
    SwsStage& operator=(const SwsStage&) = delete;

    // The context from `source` (read as limited range or not) to width x
    // height of `format`; null when swscale cannot make one. Compared here
    // rather than by sws_getCachedContext, which takes a full-range (yuvj)
    // source for a changed one every time: swscale rewrites such formats
    // inside its context.
    SwsContext* For(const AVFrame* source, bool sourceLimited, int width, int height, AVPixelFormat format,
                    int flags)
    {
        const std::array<int, 8> wanted = {source->width, source->height, source->format, sourceLimited,
                                           width,         height,         format,         flags};
        if (context != nullptr && wanted == madeFor) {
            return context;
        }
        sws_freeContext(context);
        context = sws_getContext(source->width, source->height, static_cast<AVPixelFormat>(source->format), width,
                                 height, format, flags, nullptr, nullptr, nullptr);
        if (context == nullptr) {
            return nullptr;
        }
        // The picture is read in the range it says it has, as the detector
        // reads it; RGB is full range, 4:2:0 made here limited.
        int* inverseTable = nullptr;
        int* table = nullptr;
        int sourceRange = 0;
        int destinationRange = 0;
        int brightness = 0;
        int contrast = 0;
        int saturation = 0;
        if (sws_getColorspaceDetails(context, &inverseTable, &sourceRange, &table, &destinationRange, &brightness,
                                     &contrast, &saturation) >= 0) {
            sws_setColorspaceDetails(context, inverseTable, sourceLimited ? 0 : 1, table,
                                     format == AV_PIX_FMT_RGB24 ? 1 : 0, brightness, contrast, saturation);
        }
        madeFor = wanted;
        return context;
    }

private:
    SwsContext* context = nullptr;
    std::array<int, 8> madeFor{};
};

// Converts `picture` at its own size to RGB rows `rowBytes` apart at `rgb`,
// which has room for PaddedRowBytes rows and kTailSlackBytes after them.
bool ConvertRows(SwsStage& stage, const AVFrame* picture, bool limitedRange, std::uint8_t* rgb,
                 std::size_t rowBytes)
{
    SwsContext* context = stage.For(picture, limitedRange, picture->width, picture->height, AV_PIX_FMT_RGB24,
                                    kColourFlags);
    if (context == nullptr || rowBytes > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return false;
    }
    std::uint8_t* const planes[4] = {rgb, nullptr, nullptr, nullptr};
    const int strides[4] = {static_cast<int>(rowBytes), 0, 0, 0};
    return sws_scale(context, picture->data, picture->linesize, 0, picture->height, planes, strides) ==
           picture->height;
}

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

// True when pictures of this AVPixelFormat can be held as they are: their
// first plane is 8-bit luma, one byte per pixel.
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

// `frame`, made again as 4:2:0 of width x height unless it is that already;
// null (and `frame` freed) when it cannot be allocated.
AVFrame* Planar420Of(AVFrame*& frame, int width, int height)
{
    if (frame != nullptr && frame->width == width && frame->height == height) {
        return frame;
    }
    av_frame_free(&frame);
    frame = av_frame_alloc();
    if (frame == nullptr) {
        return nullptr;
    }
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame, 0) < 0) {
        av_frame_free(&frame);
    }
    return frame;
}

}  // namespace

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

struct RgbConverter::Stages {
    Stages() = default;
    ~Stages() { av_frame_free(&scaled); }
    Stages(const Stages&) = delete;
    Stages& operator=(const Stages&) = delete;

    // Any picture to limited-range 4:2:0 of the size asked for.
    SwsStage scaler;
    // 4:2:0, or a picture at its own size, to RGB.
    SwsStage colour;
    // The last picture scaled; its height made even, which the SIMD
    // converter needs (one row more than asked for at most).
    AVFrame* scaled = nullptr;
    // Convert's RGB rows, padded as the SIMD converter needs.
    std::vector<std::uint8_t> rgbRows;
};

RgbConverter::RgbConverter() : stages(std::make_unique<Stages>()) {}

RgbConverter::~RgbConverter() = default;

bool RgbConverter::Convert(const VideoFrame& frame, std::uint8_t* rgb, std::ptrdiff_t rowStride, int width,
                           int height)
{
    if (frame.IsEmpty() || rgb == nullptr || width < 1 || height < 1 || rowStride < std::ptrdiff_t{width} * 3) {
        return false;
    }
    const AVFrame* picture = frame.Picture();
    bool limitedRange = frame.IsLimitedRange();
    if (width != frame.Width() || height != frame.Height()) {
        const int evenHeight = height + (height & 1);
        AVFrame* const scaled = Planar420Of(stages->scaled, width, evenHeight);
        if (scaled == nullptr) {
            return false;
        }
        SwsContext* scaler = stages->scaler.For(picture, limitedRange, width, evenHeight, AV_PIX_FMT_YUV420P,
                                                kScaleFlags);
        if (scaler == nullptr ||
            sws_scale(scaler, picture->data, picture->linesize, 0, picture->height, scaled->data,
                      scaled->linesize) != evenHeight) {
            return false;
        }
        picture = scaled;
        limitedRange = true;
    }
    const std::size_t rowBytes = PaddedRowBytes(width);
    stages->rgbRows.resize(rowBytes * static_cast<std::size_t>(picture->height) + kTailSlackBytes);
    if (!ConvertRows(stages->colour, picture, limitedRange, stages->rgbRows.data(), rowBytes)) {
        return false;
    }
    const std::size_t widthBytes = static_cast<std::size_t>(width) * 3;
    for (int y = 0; y < height; ++y) {
        std::memcpy(rgb + y * rowStride, stages->rgbRows.data() + y * rowBytes, widthBytes);
    }
    ++conversions;
    return true;
}

std::vector<std::uint8_t> RgbConverter::ToRgb(const VideoFrame& frame)
{
    if (frame.IsEmpty()) {
        return {};
    }
    const int width = frame.Width();
    const int height = frame.Height();
    const std::size_t paddedRowBytes = PaddedRowBytes(width);
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    std::vector<std::uint8_t> rgb(paddedRowBytes * static_cast<std::size_t>(height) + kTailSlackBytes);
    if (!ConvertRows(stages->colour, frame.Picture(), frame.IsLimitedRange(), rgb.data(), paddedRowBytes)) {
        return {};
    }
    // Packed in place, top row first: every row moves towards the front, and
    // never onto a row not yet moved. Widths of whole blocks (1280, 1920,
    // 3840) are packed already.
    for (int y = 1; y < height && paddedRowBytes != rowBytes; ++y) {
        std::memmove(rgb.data() + y * rowBytes, rgb.data() + y * paddedRowBytes, rowBytes);
    }
    rgb.resize(rowBytes * static_cast<std::size_t>(height));
    ++conversions;
    return rgb;
}

namespace {

// Limited range to JFIF's full range, rounded and clipped, in 16-bit steps
// that the compiler turns into vector code: luma (Y - 16) * 149 / 128 (255 /
// 219 to within half a level), chroma (C - 128) * 146 / 128 + 128 (255 / 224
// likewise).
inline std::uint8_t FullRangeLuma(std::uint8_t y)
{
    const std::uint16_t above = y > 16 ? static_cast<std::uint16_t>(y - 16) : std::uint16_t{0};
    const std::uint16_t level = static_cast<std::uint16_t>(static_cast<std::uint16_t>(above * 149 + 64) >> 7);
    return level > 255 ? std::uint8_t{255} : static_cast<std::uint8_t>(level);
}

inline std::uint8_t FullRangeChroma(std::uint8_t c)
{
    // c * 146 - 2240 is (c - 128) * 146 + 128 * 128 + 64, never negative from 16 up.
    const std::uint16_t scaled = c >= 16 ? static_cast<std::uint16_t>(c * 146 - 2240) : std::uint16_t{0};
    const std::uint16_t level = static_cast<std::uint16_t>(scaled >> 7);
    return level > 255 ? std::uint8_t{255} : static_cast<std::uint8_t>(level);
}

// Copies width x rows bytes of one plane, each byte through `map`.
template <typename Map>
void CopyRows(const std::uint8_t* source, int stride, int width, int rows, Map map, std::uint8_t* out,
              std::ptrdiff_t outStride)
{
    for (int y = 0; y < rows; ++y, source += stride, out += outStride) {
        for (int x = 0; x < width; ++x) {
            out[x] = map(source[x]);
        }
    }
}

void CopyRows(const std::uint8_t* source, int stride, int width, int rows, std::uint8_t* out,
              std::ptrdiff_t outStride)
{
    for (int y = 0; y < rows; ++y, source += stride, out += outStride) {
        std::memcpy(out, source, static_cast<std::size_t>(width));
    }
}

}  // namespace

struct JpegPlanesConverter::Stages {
    // Pictures of other layouts (4:2:2, NV12, grey) to limited-range 4:2:0.
    SwsStage layout;
};

JpegPlanesConverter::JpegPlanesConverter() : stages(std::make_unique<Stages>()) {}

JpegPlanesConverter::~JpegPlanesConverter() = default;

JpegPlanes JpegPlanesConverter::Convert(const VideoFrame& frame)
{
    if (frame.IsEmpty()) {
        return {};
    }
    const AVFrame* picture = frame.Picture();
    if (picture->format == AV_PIX_FMT_YUV420P || picture->format == AV_PIX_FMT_YUVJ420P) {
        return JpegPlanes(VideoFrame(picture), frame.IsLimitedRange());
    }
    // A picture of its own: the encoder may still be reading the last one.
    AVFrame* planar = nullptr;
    if (Planar420Of(planar, picture->width, picture->height) == nullptr) {
        return {};
    }
    SwsContext* context = stages->layout.For(picture, frame.IsLimitedRange(), picture->width, picture->height,
                                             AV_PIX_FMT_YUV420P, SWS_BILINEAR);
    const bool converted = context != nullptr && sws_scale(context, picture->data, picture->linesize, 0,
                                                           picture->height, planar->data, planar->linesize) ==
                                                     picture->height;
    JpegPlanes planes = converted ? JpegPlanes(VideoFrame(planar), true) : JpegPlanes();
    av_frame_free(&planar);
    return planes;
}

bool JpegPlanes::ReadRows(int top, int rows, std::uint8_t* luma, std::ptrdiff_t lumaStride, std::uint8_t* cb,
                          std::uint8_t* cr, std::ptrdiff_t chromaStride) const
{
    if (frame.IsEmpty() || top < 0 || top % 2 != 0 || rows < 1 || top + rows > Height()) {
        return false;
    }
    const AVFrame* picture = frame.Picture();
    const int width = picture->width;
    const int chromaWidth = (width + 1) / 2;
    const int chromaTop = top / 2;
    const int chromaRows = (top + rows + 1) / 2 - chromaTop;
    const std::uint8_t* fromLuma = picture->data[0] + static_cast<std::ptrdiff_t>(top) * picture->linesize[0];
    const std::uint8_t* fromCb = picture->data[1] + static_cast<std::ptrdiff_t>(chromaTop) * picture->linesize[1];
    const std::uint8_t* fromCr = picture->data[2] + static_cast<std::ptrdiff_t>(chromaTop) * picture->linesize[2];
    if (limitedRange) {
        CopyRows(fromLuma, picture->linesize[0], width, rows, FullRangeLuma, luma, lumaStride);
        CopyRows(fromCb, picture->linesize[1], chromaWidth, chromaRows, FullRangeChroma, cb, chromaStride);
        CopyRows(fromCr, picture->linesize[2], chromaWidth, chromaRows, FullRangeChroma, cr, chromaStride);
    } else {
        CopyRows(fromLuma, picture->linesize[0], width, rows, luma, lumaStride);
        CopyRows(fromCb, picture->linesize[1], chromaWidth, chromaRows, cb, chromaStride);
        CopyRows(fromCr, picture->linesize[2], chromaWidth, chromaRows, cr, chromaStride);
    }
    return true;
}
