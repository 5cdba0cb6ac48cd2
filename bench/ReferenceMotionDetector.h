#pragma once

#include "MotionDetector.h"

#include <opencv2/core.hpp>

// The detector as the program ran it before it detected on luma: the whole
// RGB picture at full size, converted to grey, blurred 21 x 21, compared. Kept
// here only as the reference that bench/detector_agreement compares with.
class ReferenceMotionDetector {
public:
    // `frame`: 8-bit RGB. The verdict and boxes of the full-size rule; the
    // frame itself is not drawn on.
    MotionResult Detect(const cv::Mat& frame);

private:
    cv::Mat previousGray;
};
