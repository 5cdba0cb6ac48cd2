#include "MotionDetector.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

// The full-size rule.
constexpr int kBlurKernelSize = 21;
constexpr double kBlurSigma = 0.3 * ((kBlurKernelSize - 1) * 0.5 - 1) + 0.8;  // OpenCV's for that kernel
constexpr double kDifferenceThreshold = 45.0;
constexpr double kMaskMaxValue = 255.0;
constexpr int kDilateIterations = 2;  // by 3 x 3: each region grows by 2 pixels on every side
constexpr double kMinChangedFraction = 0.01;
constexpr double kMinBlobAreaPx2 = 6000.0;
// The full-size mask of a changed region holds the pixels whose centres lie
// in it, dilated by 2: its contour, through the centres of its edge pixels,
// lies this far outside the region's own outline.
constexpr double kContourOffsetPx = kDilateIterations - 0.5;
// Regions whose reduced estimate lies this close to the floor are measured
// again to a fraction of a reduced pixel.
constexpr double kRefineMargin = 0.2;

const cv::Scalar kMarkColour(255, 64, 64, 0);
constexpr int kMarkThickness = 2;
const cv::Point kLabelOrigin(24, 44);
constexpr double kLabelScale = 1.0;
const char kLabel[] = "Motion detected";

// Pictures are halved until they are no wider than this, at most twice: a
// 6000 px² region still spans hundreds of reduced pixels, and pictures
// narrower than 640 pixels are compared as they are.
constexpr int kMaxReducedWidth = 639;
constexpr int kMaxFactor = 4;

int FactorFor(int width)
{
    int factor = 1;
    while (factor < kMaxFactor && width / factor > kMaxReducedWidth) {
        factor *= 2;
    }
    return factor;
}

// (Y - 16) * 255 / 219, rounded and clipped: the grey that swscale's RGB and
// OpenCV's RGB-to-grey make of limited-range luma, to within one level.
const cv::Mat& LimitedRangeTable()
{
    static const cv::Mat table = [] {
        cv::Mat values(1, 256, CV_8U);
        for (int y = 0; y < 256; ++y) {
            values.at<std::uint8_t>(y) = cv::saturate_cast<std::uint8_t>((y - 16) * 255.0 / 219.0);
        }
        return values;
    }();
    return table;
}

// How the reduced picture maps back onto the full one, and the full-size
// rule's blur and dilation in reduced pixels.
struct Reduction {
    explicit Reduction(cv::Size full, cv::Size reduced)
        : factor(static_cast<double>(full.width) / reduced.width),
          factorY(static_cast<double>(full.height) / reduced.height), whole(static_cast<int>(std::lround(factor)))
    {
        dilateIterations = kDilateIterations / whole;
        // What the reduced dilation falls short of, added back in full pixels.
        growthPx = kDilateIterations - dilateIterations * whole;
        if (whole == 1) {
            blurKernel = kBlurKernelSize;
            blurSigma = 0;  // OpenCV's own for the kernel: exactly the full-size blur
        } else {
            // The area average is itself a box blur of `whole` pixels; the two
            // together have the full-size Gaussian's variance.
            const double boxVariance = (whole * whole - 1) / 12.0;
            blurSigma = std::sqrt(kBlurSigma * kBlurSigma - boxVariance) / whole;
            blurKernel = 2 * ((kBlurKernelSize / 2) / whole) + 1;
        }
    }

    // A region's contour area in full pixels from its reduced contour: the
    // reduced contour runs through the centres of its edge pixels, which lie
    // (factor - 1) / 2 full pixels inside the region's edge, and the region
    // grows by growthPx more. Exact for upright rectangles.
    double FullArea(double reducedArea, double reducedPerimeter) const
    {
        const double widening = factor + 2 * growthPx - 1;
        return factor * factor * reducedArea + factor / 2 * widening * reducedPerimeter + widening * widening;
    }
    // The pixels a region adds to the changed share by growing growthPx.
    double Growth(double reducedPerimeter) const
    {
        return growthPx * factor * (reducedPerimeter + 4) + 4.0 * growthPx * growthPx;
    }
    cv::Rect FullBox(const cv::Rect& reduced, cv::Size full) const
    {
        const int left = static_cast<int>(std::floor(reduced.x * factor)) - growthPx;
        const int top = static_cast<int>(std::floor(reduced.y * factorY)) - growthPx;
        const int right = static_cast<int>(std::ceil(reduced.br().x * factor)) + growthPx;
        const int bottom = static_cast<int>(std::ceil(reduced.br().y * factorY)) + growthPx;
        return cv::Rect(cv::Point(left, top), cv::Point(right, bottom)) & cv::Rect(cv::Point(0, 0), full);
    }

    // Full pixels per reduced pixel across, and down (the same but for
    // rounding).
    double factor;
    double factorY;
    int whole;
    int dilateIterations;
    int growthPx;
    int blurKernel;
    double blurSigma;
};

// A region's contour area in full pixels, measured on the blurred difference
// rather than on its thresholded mask: each pixel near the outline counts for
// the share of it that lies above the threshold, read from the difference's
// slope there. The outline follows from that to a fraction of a reduced
// pixel, where the mask knows it only to a whole one.
double RefinedArea(const cv::Mat& difference, const std::vector<cv::Point>& contour, double reducedPerimeter,
                   const Reduction& reduction)
{
    constexpr int kMarginPx = 2;
    const cv::Rect window = (cv::boundingRect(contour) - cv::Point(kMarginPx, kMarginPx) +
                             cv::Size(2 * kMarginPx, 2 * kMarginPx)) &
                            cv::Rect(cv::Point(0, 0), difference.size());
    // The region and the pixels just outside it, where its outline may lie.
    cv::Mat region = cv::Mat::zeros(window.size(), CV_8U);
    cv::drawContours(region, std::vector<std::vector<cv::Point>>{contour}, 0, cv::Scalar(255), cv::FILLED,
                     cv::LINE_8, cv::noArray(), INT_MAX, -window.tl());
    cv::dilate(region, region, cv::Mat());

    cv::Mat values;
    difference(window).convertTo(values, CV_32F);
    cv::Mat slopeX;
    cv::Mat slopeY;
    cv::Mat slope;
    cv::Sobel(values, slopeX, CV_32F, 1, 0, 3, 1.0 / 8, 0, cv::BORDER_REPLICATE);
    cv::Sobel(values, slopeY, CV_32F, 0, 1, 3, 1.0 / 8, 0, cv::BORDER_REPLICATE);
    cv::magnitude(slopeX, slopeY, slope);
    // Where the difference is flat, a pixel is wholly in or wholly out.
    slope = cv::max(slope, 1e-3);
    cv::Mat share;
    cv::divide(values - kDifferenceThreshold, slope, share);
    share = cv::min(cv::max(share + 0.5, 0.0), 1.0);
    share.setTo(0, region == 0);
    const double outlineArea = cv::sum(share)[0] * reduction.factor * reduction.factorY;
    // The reduced contour runs half a reduced pixel inside the outline.
    const double outlineLength = reduction.factor * (reducedPerimeter + 4);
    return outlineArea + kContourOffsetPx * outlineLength + 4 * kContourOffsetPx * kContourOffsetPx;
}

}  // namespace

cv::Mat DetectionGrey(const LumaPlane& luma)
{
    if (luma.data == nullptr || luma.width < 1 || luma.height < 1 || luma.stride < luma.width) {
        return cv::Mat();
    }
    // Only read: the plane belongs to the decoder.
    const cv::Mat plane(luma.height, luma.width, CV_8UC1, const_cast<std::uint8_t*>(luma.data),
                        static_cast<std::size_t>(luma.stride));
    cv::Mat reduced = plane;
    for (int factor = FactorFor(luma.width); factor > 1; factor /= 2) {
        // Halving runs on OpenCV's vectorised 2 x 2 average; for even sizes
        // the halvings together are the exact area average.
        cv::Mat half;
        cv::resize(reduced, half, cv::Size(std::max(1, reduced.cols / 2), std::max(1, reduced.rows / 2)), 0, 0,
                   cv::INTER_AREA);
        reduced = half;
    }
    cv::Mat grey;
    if (luma.limitedRange) {
        cv::LUT(reduced, LimitedRangeTable(), grey);
    } else {
        grey = reduced.data == plane.data ? reduced.clone() : reduced;
    }
    return grey;
}

MotionDetector::MotionDetector()
{
    // The reduced pictures are small: OpenCV's worker threads, woken for
    // every frame and spinning before they sleep again, cost more than they
    // save, and with several cameras every decoder thread has work of its
    // own. OpenCV has no setting per call, only this one for the process,
    // made once, before any detector has run (the program's other OpenCV
    // work, drawing marks, is smaller still).
    static const bool sequential = [] {
        cv::setNumThreads(0);
        return true;
    }();
    static_cast<void>(sequential);
}

MotionResult MotionDetector::Detect(const LumaPlane& luma)
{
    const cv::Mat grey = DetectionGrey(luma);
    if (grey.empty()) {
        return MotionResult();
    }
    const cv::Size fullSize(luma.width, luma.height);
    const Reduction reduction(fullSize, grey.size());
    cv::Mat blurred;
    cv::GaussianBlur(grey, blurred, cv::Size(reduction.blurKernel, reduction.blurKernel), reduction.blurSigma,
                     reduction.blurSigma, cv::BORDER_DEFAULT);

    const cv::Mat previous = previousBlurred;
    const bool comparable = !previous.empty() && previousSize == fullSize;
    previousBlurred = blurred;
    previousSize = fullSize;
    if (!comparable) {
        return MotionResult();
    }

    cv::Mat difference;
    cv::absdiff(previous, blurred, difference);
    cv::Mat mask;
    cv::threshold(difference, mask, kDifferenceThreshold, kMaskMaxValue, cv::THRESH_BINARY);
    if (reduction.dilateIterations > 0) {
        cv::dilate(mask, mask, cv::Mat(), cv::Point(-1, -1), reduction.dilateIterations, cv::BORDER_CONSTANT,
                   cv::morphologyDefaultBorderValue());
    }
    const int changedPixels = cv::countNonZero(mask);
    if (changedPixels == 0) {
        return MotionResult();
    }

    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, cv::Point(0, 0));
    double changedArea = changedPixels * reduction.factor * reduction.factorY;
    std::vector<double> perimeters;
    perimeters.reserve(contours.size());
    for (const auto& contour : contours) {
        perimeters.push_back(cv::arcLength(contour, true));
        changedArea += reduction.Growth(perimeters.back());
    }
    if (changedArea < kMinChangedFraction * fullSize.area()) {
        return MotionResult();
    }

    MotionResult result;
    for (std::size_t i = 0; i < contours.size(); ++i) {
        double area = reduction.FullArea(cv::contourArea(contours[i], false), perimeters[i]);
        if (reduction.whole > 1 && std::abs(area / kMinBlobAreaPx2 - 1) < kRefineMargin) {
            area = RefinedArea(difference, contours[i], perimeters[i], reduction);
        }
        if (area < kMinBlobAreaPx2) {
            continue;
        }
        result.boxes.push_back(reduction.FullBox(cv::boundingRect(contours[i]), fullSize));
    }
    result.motion = !result.boxes.empty();
    return result;
}

namespace {

// Draws the marks of a picture shrunk by `scale` into `image`, which holds
// that picture's rows from `top` down; the label only with `label`.
void DrawMarks(cv::Mat& image, const MotionResult& motion, double scale, const cv::Scalar& colour, int top = 0,
               bool label = true)
{
    const auto scaled = [scale, top](int x, int y) {
        return cv::Point(static_cast<int>(std::lround(x * scale)), static_cast<int>(std::lround(y * scale)) - top);
    };
    // Shrunk, a two-pixel line is thinner but never vanishes.
    const int thickness =
        scale == 1.0 ? kMarkThickness : std::max(1, static_cast<int>(std::lround(kMarkThickness * scale)));
    for (const cv::Rect& box : motion.boxes) {
        cv::rectangle(image, cv::Rect(scaled(box.x, box.y), scaled(box.br().x, box.br().y)), colour, thickness,
                      cv::LINE_8, 0);
    }
    if (label) {
        cv::putText(image, kLabel, scaled(kLabelOrigin.x, kLabelOrigin.y), cv::FONT_HERSHEY_SIMPLEX,
                    kLabelScale * scale, colour, thickness, cv::LINE_AA, false);
    }
}

}  // namespace

void DrawMotion(cv::Mat& rgb, const MotionResult& motion, double scale)
{
    if (!motion.motion || rgb.empty() || rgb.type() != CV_8UC3 || !(scale > 0)) {
        return;
    }
    DrawMarks(rgb, motion, scale, kMarkColour);
}

int MotionLabelRows()
{
    int baseline = 0;
    cv::getTextSize(kLabel, cv::FONT_HERSHEY_SIMPLEX, kLabelScale, kMarkThickness, &baseline);
    // Below the baseline: the descenders, half the stroke and a pixel of
    // anti-aliasing, with room to spare.
    return kLabelOrigin.y + baseline + 2 * kMarkThickness + 4;
}

void DrawMotionOnJpegRows(const MotionResult& motion, int width, int top, int rows, std::uint8_t* luma,
                          std::ptrdiff_t lumaStride, std::uint8_t* cb, std::uint8_t* cr, std::ptrdiff_t chromaStride)
{
    if (!motion.motion || width < 1 || rows < 1 || top < 0 || top % 2 != 0) {
        return;
    }
    // The mark's colour in JFIF's YCbCr (ITU-R BT.601, full range).
    const double red = kMarkColour[0];
    const double green = kMarkColour[1];
    const double blue = kMarkColour[2];
    const double lumaLevel = 0.299 * red + 0.587 * green + 0.114 * blue;
    const double cbLevel = 128 - 0.168736 * red - 0.331264 * green + 0.5 * blue;
    const double crLevel = 128 + 0.5 * red - 0.418688 * green - 0.081312 * blue;

    // Luma at full size is exact (the luma of a blend of two colours is the
    // blend of their lumas); chroma, a quarter of the pixels, gets the marks
    // as they look on the picture halved, as the encoder would average them.
    const int chromaWidth = (width + 1) / 2;
    const int chromaRows = (top + rows + 1) / 2 - top / 2;
    cv::Mat lumaRows(rows, width, CV_8UC1, luma, static_cast<std::size_t>(lumaStride));
    cv::Mat cbRows(chromaRows, chromaWidth, CV_8UC1, cb, static_cast<std::size_t>(chromaStride));
    cv::Mat crRows(chromaRows, chromaWidth, CV_8UC1, cr, static_cast<std::size_t>(chromaStride));
    // Box edges, drawn without anti-aliasing, come out the same band by band;
    // the label, anti-aliased, is drawn only in the band at the top.
    const bool label = top == 0;
    DrawMarks(lumaRows, motion, 1.0, cv::Scalar(std::round(lumaLevel)), top, label);
    DrawMarks(cbRows, motion, 0.5, cv::Scalar(std::round(cbLevel)), top / 2, label);
    DrawMarks(crRows, motion, 0.5, cv::Scalar(std::round(crLevel)), top / 2, label);
}
