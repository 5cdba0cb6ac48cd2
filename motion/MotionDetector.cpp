#include "MotionDetector.h"

#include <opencv2/imgproc.hpp>

#include <vector>

namespace {

constexpr int kBlurKernelSize = 21;
constexpr double kDifferenceThreshold = 45.0;
constexpr double kMaskMaxValue = 255.0;
constexpr int kDilateIterations = 2;
constexpr double kMinChangedFraction = 0.01;
constexpr double kMinBlobAreaPx2 = 6000.0;
const cv::Scalar kMarkColour(255, 64, 64, 0);
constexpr int kMarkThickness = 2;
const cv::Point kLabelOrigin(24, 44);
constexpr double kLabelScale = 1.0;

}  // namespace

bool MotionDetector::DetectAndAnnotate(cv::Mat& frame)
{
    // Upstream always hands RGB frames; anything else cannot be compared and
    // must not take the pipeline down.
    if (frame.empty() || frame.type() != CV_8UC3)
        return false;

    cv::Mat gray;
    cv::cvtColor(frame, gray, cv::COLOR_RGB2GRAY);
    cv::GaussianBlur(gray, gray, cv::Size(kBlurKernelSize, kBlurKernelSize), 0, 0,
                     cv::BORDER_DEFAULT);

    if (previousGray.empty() || previousGray.size() != gray.size()) {
        previousGray = gray.clone();
        return false;
    }

    cv::Mat mask;
    cv::absdiff(previousGray, gray, mask);
    cv::threshold(mask, mask, kDifferenceThreshold, kMaskMaxValue, cv::THRESH_BINARY);
    cv::dilate(mask, mask, cv::Mat(), cv::Point(-1, -1), kDilateIterations,
               cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());

    const int pixelCount = mask.rows * mask.cols;
    const double changedFraction =
        static_cast<double>(cv::countNonZero(mask)) / static_cast<double>(pixelCount);
    if (changedFraction < kMinChangedFraction) {
        previousGray = gray.clone();
        return false;
    }

    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE,
                     cv::Point(0, 0));

    bool motionFound = false;
    for (const auto& contour : contours) {
        if (cv::contourArea(contour, false) < kMinBlobAreaPx2)
            continue;
        cv::rectangle(frame, cv::boundingRect(contour), kMarkColour, kMarkThickness,
                      cv::LINE_8, 0);
        motionFound = true;
    }

    previousGray = gray.clone();

    if (motionFound) {
        cv::putText(frame, "Motion detected", kLabelOrigin, cv::FONT_HERSHEY_SIMPLEX,
                    kLabelScale, kMarkColour, kMarkThickness, cv::LINE_AA, false);
    }
    return motionFound;
}
