#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>
#include <vector>

// A picture's 8-bit luma plane as the decoder holds it; not owned.
struct LumaPlane {
    const std::uint8_t* data = nullptr;
    int stride = 0;  // bytes from the start of one row to the next
    int width = 0;
    int height = 0;
    // True: black is 16 and white 235 (video); false: 0 and 255.
    bool limitedRange = true;
};

struct MotionResult {
    bool motion = false;
    // One box per moving region, in the full picture's pixels; empty without
    // motion.
    std::vector<cv::Rect> boxes;
};

// Decides whether something moved since the previous picture, and where.
//
// What counts as motion is the classic full-size rule on the grey picture:
// a 21 x 21 Gaussian blur, a difference above 45 grey levels, dilated twice
// by 3 x 3, at least 1 % of the picture changed, and regions of at least
// 6000 px². It is computed on the luma plane reduced by a power of two (the
// larger the picture, the more), with the blur, the dilation and the region
// floor scaled to match, so that verdicts and boxes are those of the full-size
// rule.
//
// Not thread-safe: one thread (the decoder thread) calls it for the whole
// life of the object.
class MotionDetector {
public:
    // The first one made also has OpenCV run sequentially, in the whole
    // process (see the source).
    MotionDetector();

    // No motion for the first picture, for one of another size than the
    // previous (a new stream or a changed camera resolution: comparison
    // starts over from it), and for an empty plane (ignored; the previous
    // picture stays the reference).
    MotionResult Detect(const LumaPlane& luma);

private:
    // The previous picture as compared: reduced and blurred.
    cv::Mat previousBlurred;
    cv::Size previousSize;
};

// The grey picture the detector compares, before its blur: the luma plane
// reduced by the detector's factor for that size (area average), with limited
// range stretched to 0-255 so that grey levels mean what they mean on an RGB
// picture's grey. Empty for an empty plane.
cv::Mat DetectionGrey(const LumaPlane& luma);

// Marks motion on an RGB picture (8 bits, three channels, red first): each box
// (255, 64, 64) two pixels wide and the label "Motion detected" at (24, 44).
// `scale` is the picture's size over the detected picture's: at 1, the marks
// of a full-size picture; below, what they look like once the full-size
// picture is shrunk by that much. Draws nothing without motion; marks are
// clipped to the picture.
void DrawMotion(cv::Mat& rgb, const MotionResult& motion, double scale = 1.0);

// The same marks at full size on rows of a picture held as a JPEG's planes
// (4:2:0, full range): luma rows [top, top + rows) of a width-wide picture at
// `luma`, and chroma rows [top / 2, (top + rows + 1) / 2) at `cb` and `cr`.
// Drawn band by band, the marks are those of the whole picture, provided
// the band at the top holds MotionLabelRows() rows or the whole picture: the
// label is drawn only in that band. Draws nothing without motion or with an
// odd `top`.
void DrawMotionOnJpegRows(const MotionResult& motion, int width, int top, int rows, std::uint8_t* luma,
                          std::ptrdiff_t lumaStride, std::uint8_t* cb, std::uint8_t* cr, std::ptrdiff_t chromaStride);
int MotionLabelRows();
