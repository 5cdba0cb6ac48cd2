#include "MotionDetector.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace {

const cv::Vec3b kMark(255, 64, 64);
constexpr int kLabelRows = 60;  // the label lies above, every scene's objects below

// A grey scene of the given brightness with light objects on it.
cv::Mat Scene(cv::Size size, int level, const std::vector<cv::Rect>& objects = {})
{
    cv::Mat frame(size, CV_8UC3, cv::Scalar::all(level));
    for (const cv::Rect& object : objects)
        cv::rectangle(frame, object, cv::Scalar::all(230), cv::FILLED);
    return frame;
}

// Bounding rectangles of the mark-coloured outlines in the given rows, left to right.
std::vector<cv::Rect> Marks(const cv::Mat& frame, int fromRow, int toRow)
{
    cv::Mat mask;
    cv::inRange(frame.rowRange(fromRow, toRow), kMark, kMark, mask);
    std::vector<std::vector<cv::Point>> outlines;
    cv::findContours(mask, outlines, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, cv::Point(0, fromRow));
    std::vector<cv::Rect> marks;
    for (const auto& outline : outlines)
        marks.push_back(cv::boundingRect(outline));
    std::sort(marks.begin(), marks.end(), [](const cv::Rect& a, const cv::Rect& b) { return a.x < b.x; });
    return marks;
}

// Objects appear on a scene that may also change its brightness.
struct Change { const char* what; cv::Size size; int levelBefore, levelAfter; std::vector<cv::Rect> objects; bool motion; };

}  // namespace

TEST(MotionDetector, MarksEachLargeChangedRegionAndLabelsTheFrame)
{
    std::vector<cv::Rect> specks;  // 30 x 30 each, together well over 1 % of the frame
    for (int i = 0; i < 48; ++i)
        specks.emplace_back(10 + i % 8 * 80, 70 + i / 8 * 80, 30, 30);
    const Change changes[] = {
        {"identical frames", {640, 480}, 100, 100, {}, false},
        {"a small change, yet over 1 % of the frame", {200, 150}, 100, 100, {{120, 80, 40, 40}}, false},
        {"many small changes", {640, 480}, 100, 100, specks, false},
        {"a large region under 1 % of the frame", {1920, 1080}, 100, 100, {{900, 500, 100, 80}}, false},
        {"brightness up by 40 levels", {320, 240}, 100, 140, {}, false},
        {"brightness up by 100 levels", {320, 240}, 100, 200, {}, true},
        {"one object", {640, 480}, 100, 100, {{300, 200, 120, 100}}, true},
        {"two objects", {640, 480}, 100, 100, {{60, 150, 110, 100}, {420, 300, 120, 110}}, true},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        MotionDetector detector;
        cv::Mat before = Scene(c.size, c.levelBefore);
        cv::Mat after = Scene(c.size, c.levelAfter, c.objects);
        const cv::Mat original = after.clone();
        EXPECT_FALSE(detector.DetectAndAnnotate(before));
        EXPECT_EQ(detector.DetectAndAnnotate(after), c.motion);
        EXPECT_EQ(cv::norm(after, original, cv::NORM_INF) > 0, c.motion) << "marks drawn, or not";
        if (!c.motion || c.objects.empty())
            continue;  // when the whole frame changed, its box runs along the edges, through the label
        const std::vector<cv::Rect> label = Marks(after, 0, kLabelRows);
        ASSERT_FALSE(label.empty());
        EXPECT_TRUE(label.front().x >= 24 && label.front().x < 30 && label.back().br().y <= 50) << label.front();
        const std::vector<cv::Rect> boxes = Marks(after, kLabelRows, c.size.height);
        ASSERT_EQ(boxes.size(), c.objects.size());
        for (std::size_t i = 0; i < boxes.size(); ++i) {  // blur and dilation widen a region a little
            const cv::Rect widened(c.objects[i].tl() - cv::Point(10, 10), c.objects[i].br() + cv::Point(10, 10));
            EXPECT_TRUE((boxes[i] & c.objects[i]) == c.objects[i] && (boxes[i] | widened) == widened) << boxes[i];
        }
    }
}

TEST(MotionDetector, AFrameOfAnotherSizeBecomesTheReferenceAndAnEmptyOneIsIgnored)
{
    MotionDetector detector;
    cv::Mat large = Scene({640, 480}, 100), small = Scene({320, 240}, 60), empty;
    cv::Mat smallMoved = Scene({320, 240}, 60, {{100, 60, 120, 100}});
    detector.DetectAndAnnotate(large);
    EXPECT_FALSE(detector.DetectAndAnnotate(small));  // an exception fails the test too
    EXPECT_FALSE(detector.DetectAndAnnotate(empty));
    EXPECT_TRUE(detector.DetectAndAnnotate(smallMoved));
}
