#include "ReferenceMotionDetector.h"

#include <opencv2/imgproc.hpp>

#include <vector>

namespace {

constexpr int kBlurKernelSize = 21;
constexpr double kDifferenceThreshold = 45.0;
constexpr double kMaskMaxValue = 255.0;
constexpr int kDilateIterations = 2;
constexpr double kMinChangedFraction = 0.01;
constexpr double kMinBlobAreaPx2 = 6000.0;

}  // namespace

MotionResult ReferenceMotionDetector::Detect(const cv::Mat& frame)
{
    if (frame.empty() || frame.type() != CV_8UC3)
        return MotionResult();

    cv::Mat gray;
    cv::cvtColor(frame, gray, cv::COLOR_RGB2GRAY);
    cv::GaussianBlur(gray, gray, cv::Size(kBlurKernelSize, kBlurKernelSize), 0, 0, cv::BORDER_DEFAULT);

    if (previousGray.empty() || previousGray.size() != gray.size()) {
        previousGray = gray;
        return MotionResult();
    }

    cv::Mat mask;
    cv::absdiff(previousGray, gray, mask);
    previousGray = gray;
    cv::threshold(mask, mask, kDifferenceThreshold, kMaskMaxValue, cv::THRESH_BINARY);
    cv::dilate(mask, mask, cv::Mat(), cv::Point(-1, -1), kDilateIterations, cv::BORDER_CONSTANT,
               cv::morphologyDefaultBorderValue());

    const double changedFraction = static_cast<double>(cv::countNonZero(mask)) / mask.total();
    if (changedFraction < kMinChangedFraction)
        return MotionResult();

    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, cv::Point(0, 0));
    MotionResult result;
    for (const auto& contour : contours) {
        if (cv::contourArea(contour, false) >= kMinBlobAreaPx2)
            result.boxes.push_back(cv::boundingRect(contour));
    }
    result.motion = !result.boxes.empty();
    return result;
}
