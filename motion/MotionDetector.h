#pragma once

#include <opencv2/core.hpp>

// Decides whether something moved since the previous frame and marks the
// moving regions on the frame itself.
//
// Not thread-safe: one thread (the decoder thread) calls it for the whole
// life of the object.
class MotionDetector {
public:
    // `frame` is an 8-bit, three-channel image in red, green, blue order. On
    // motion, draws one box per moving region and the label "Motion detected"
    // into it and returns true. Returns false and leaves the frame untouched
    // otherwise, including for the first frame, for a frame of another size
    // than the previous one (a new stream or a changed camera resolution:
    // comparison starts over from it) and for an empty frame or one of another
    // type (ignored; the previous frame stays the reference).
    bool DetectAndAnnotate(cv::Mat& frame);

private:
    // Blurred grey image of the previous frame, taken before any annotation
    // was drawn so that boxes and labels never count as change.
    cv::Mat previousGray;
};
