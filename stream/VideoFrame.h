#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

struct AVFrame;
struct SwsContext;

// One decoded picture, held by reference: the decoder's buffers stay alive,
// unchanged, until the last VideoFrame holding them goes. Move-only; no
// colour conversion has happened. Its first plane is always 8-bit luma, one
// byte per pixel (the decoder converts pictures of other layouts before it
// hands them out).
//
// A VideoFrame belongs to one thread at a time; moving it hands it over.
// Pictures shared by several frames are never written.
class VideoFrame {
public:
    // Holds no picture.
    VideoFrame() noexcept = default;
    // Takes a reference of its own to `picture`'s buffers. Holds no picture
    // when `picture` is null, has no 8-bit luma plane first or cannot be
    // referenced (out of memory).
    explicit VideoFrame(const AVFrame* picture);
    ~VideoFrame();

    VideoFrame(VideoFrame&& other) noexcept;
    VideoFrame& operator=(VideoFrame&& other) noexcept;
    VideoFrame(const VideoFrame&) = delete;
    VideoFrame& operator=(const VideoFrame&) = delete;

    bool IsEmpty() const noexcept { return picture == nullptr; }
    // 0 when empty.
    int Width() const noexcept;
    int Height() const noexcept;
    // Width() bytes of luma per row, Height() rows, LumaStride() bytes apart;
    // null when empty.
    const std::uint8_t* Luma() const noexcept;
    int LumaStride() const noexcept;
    // True when luma runs from 16 (black) to 235 (white), as video usually
    // does; false for full-range pictures (JPEG's 0-255). A picture that does
    // not say counts as limited, as swscale takes YUV that does not say; grey
    // pictures count as full range, as swscale takes them.
    bool IsLimitedRange() const noexcept;

    // The picture itself, for the converter; null when empty.
    const AVFrame* Picture() const noexcept { return picture; }

private:
    AVFrame* picture = nullptr;
};

// Makes VideoFrames of a decoder's pictures. Pictures whose first plane is not
// 8-bit luma (10-bit, RGB, packed YUV) are converted to 8-bit 4:2:0 first,
// each into a buffer of its own; all others are only referenced.
//
// One per decoder thread: it keeps the swscale context of its last
// conversion. Not thread-safe.
class VideoFrameMaker {
public:
    VideoFrameMaker() = default;
    ~VideoFrameMaker();

    VideoFrameMaker(const VideoFrameMaker&) = delete;
    VideoFrameMaker& operator=(const VideoFrameMaker&) = delete;

    // Empty when `picture` is null or cannot be referenced or converted.
    VideoFrame Make(const AVFrame* picture);

private:
    SwsContext* converter = nullptr;
};

// Turns VideoFrames into packed RGB (R, G, B bytes, top row first), with the
// colours of swscale's SIMD YUV-to-RGB converter (ITU-R BT.601, the picture's
// range). A picture wanted at another size is scaled first, as 4:2:0 (a
// third of RGB's bytes), and converted once, at the size it is wanted:
// swscale's own scaling RGB output runs as plain C code, three times the cost.
//
// One per consuming thread and use: it keeps its swscale contexts and, for
// Convert, one picture of the size asked for in 4:2:0 and in RGB. Not
// thread-safe.
class RgbConverter {
public:
    RgbConverter();
    ~RgbConverter();

    RgbConverter(const RgbConverter&) = delete;
    RgbConverter& operator=(const RgbConverter&) = delete;

    // Converts `frame`, scaled to width x height, into the rectangle at
    // `rgb`: height rows of width * 3 bytes, rowStride bytes apart. Writes
    // nothing outside that rectangle (swscale's SIMD converter, which writes
    // whole blocks of 16 pixels, converts into the converter's own rows).
    // False, with the rectangle untouched, when the frame is empty, a size is
    // below 1 or swscale cannot convert it.
    bool Convert(const VideoFrame& frame, std::uint8_t* rgb, std::ptrdiff_t rowStride, int width,
                 int height);

    // The whole frame at its own size, packed (Width() * 3 bytes a row, no
    // padding); empty when the frame is empty or cannot be converted. Only
    // the returned picture is allocated: nothing of it is kept.
    std::vector<std::uint8_t> ToRgb(const VideoFrame& frame);

    // Conversions made so far, both kinds together.
    std::uint64_t ConversionCount() const noexcept { return conversions; }

private:
    struct Stages;
    std::unique_ptr<Stages> stages;
    std::uint64_t conversions = 0;
};

// A frame as the planes a JPEG is made of: 4:2:0, full range (JFIF's),
// ITU-R BT.601 as the RGB converter reads the picture, at the frame's own
// size, read a band of rows at a time into the caller's buffers, so that no
// full-size copy of the picture is made. Half the bytes of RGB, and the JPEG
// encoder has no colour conversion of its own left to do. It holds the 4:2:0
// frame it reads, by reference; made on one thread, it may be read on
// another.
class JpegPlanes {
public:
    JpegPlanes() = default;

    bool IsEmpty() const noexcept { return frame.IsEmpty(); }
    int Width() const noexcept { return frame.Width(); }
    int Height() const noexcept { return frame.Height(); }

    // Luma rows [top, top + rows) into `luma` (Width() bytes a row,
    // lumaStride apart) and chroma rows [top / 2, (top + rows + 1) / 2) into
    // `cb` and `cr` ((Width() + 1) / 2 bytes a row, chromaStride apart).
    // False, writing nothing, when the picture is empty, `top` is odd or the
    // rows lie outside the picture.
    bool ReadRows(int top, int rows, std::uint8_t* luma, std::ptrdiff_t lumaStride, std::uint8_t* cb,
                  std::uint8_t* cr, std::ptrdiff_t chromaStride) const;

private:
    friend class JpegPlanesConverter;
    JpegPlanes(VideoFrame frame, bool limitedRange) noexcept
        : frame(std::move(frame)), limitedRange(limitedRange)
    {
    }

    VideoFrame frame;  // 4:2:0
    bool limitedRange = true;
};

// Makes the JpegPlanes of VideoFrames: a 4:2:0 frame is only referenced;
// one of another layout (4:2:2, NV12, grey) is converted into a 4:2:0
// picture of its own.
//
// One per consuming thread: it keeps the swscale context of its last
// conversion from another layout. Not thread-safe.
class JpegPlanesConverter {
public:
    JpegPlanesConverter();
    ~JpegPlanesConverter();

    JpegPlanesConverter(const JpegPlanesConverter&) = delete;
    JpegPlanesConverter& operator=(const JpegPlanesConverter&) = delete;

    // Empty when the frame is empty or cannot be converted.
    JpegPlanes Convert(const VideoFrame& frame);

private:
    struct Stages;
    std::unique_ptr<Stages> stages;
};
