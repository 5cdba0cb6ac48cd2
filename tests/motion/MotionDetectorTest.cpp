#include "MotionDetector.h"
#include "TestFrames.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace {

const cv::Vec3b kMark(255, 64, 64);

// A grey scene of the given brightness with light objects on it.
cv::Mat Scene(cv::Size size, int level, const std::vector<cv::Rect>& objects = {})
{
    cv::Mat grey(size, CV_8UC1, cv::Scalar::all(level));
    for (const cv::Rect& object : objects)
        cv::rectangle(grey, object, cv::Scalar::all(230), cv::FILLED);
    return grey;
}

// A full-range plane's grey levels are its luma.
LumaPlane Plane(const cv::Mat& grey)
{
    return {grey.data, static_cast<int>(grey.step), grey.cols, grey.rows, false};
}

// Bounding rectangles of the outlines in the given rows, left to right: of
// the mark colour, or with `anyMark` (anti-aliased text) of anything but grey.
std::vector<cv::Rect> Marks(const cv::Mat& rgb, int fromRow, int toRow, bool anyMark = false)
{
    const cv::Mat rows = rgb.rowRange(fromRow, toRow);
    cv::Mat mask;
    if (anyMark) {
        std::vector<cv::Mat> channels;
        cv::split(rows, channels);
        mask = channels[0] != channels[1];
    } else {
        cv::inRange(rows, kMark, kMark, mask);
    }
    std::vector<std::vector<cv::Point>> outlines;
    cv::findContours(mask, outlines, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, cv::Point(0, fromRow));
    std::vector<cv::Rect> marks;
    for (const auto& outline : outlines)
        marks.push_back(cv::boundingRect(outline));
    std::sort(marks.begin(), marks.end(), [](const cv::Rect& a, const cv::Rect& b) { return a.x < b.x; });
    return marks;
}

bool Near(const cv::Rect& a, const cv::Rect& b, int px)
{
    return std::abs(a.x - b.x) <= px && std::abs(a.y - b.y) <= px && std::abs(a.br().x - b.br().x) <= px &&
           std::abs(a.br().y - b.br().y) <= px;
}

// Objects appear on a scene that may also change its brightness; the first
// `boxes` objects are large enough to be marked.
struct Change {
    const char* what;
    cv::Size size;
    int levelBefore, levelAfter;
    std::vector<cv::Rect> objects;
    bool motion;
    std::size_t boxes;
};

}  // namespace

TEST(MotionDetector, FindsEachLargeChangedRegion)
{
    std::vector<cv::Rect> specks;  // 30 x 30 each, together well over 1 % of the frame
    for (int i = 0; i < 48; ++i)
        specks.emplace_back(10 + i % 8 * 80, 70 + i / 8 * 80, 30, 30);
    const Change changes[] = {
        {"identical frames", {640, 480}, 100, 100, {}, false, 0},
        {"a small change, yet over 1 % of the frame", {200, 150}, 100, 100, {{120, 80, 40, 40}}, false, 0},
        {"many small changes", {640, 480}, 100, 100, specks, false, 0},
        {"a large region under 1 % of the frame", {1920, 1080}, 100, 100, {{900, 500, 100, 80}}, false, 0},
        {"brightness up by 40 levels", {320, 240}, 100, 140, {}, false, 0},
        {"brightness up by 100 levels", {320, 240}, 100, 200, {}, true, 1},
        {"brightness up by 40 levels, reduced", {1280, 720}, 100, 140, {}, false, 0},
        {"brightness up by 100 levels, reduced", {1280, 720}, 100, 200, {}, true, 1},
        {"one object", {640, 480}, 100, 100, {{300, 200, 120, 100}}, true, 1},
        {"two objects", {640, 480}, 100, 100, {{60, 150, 110, 100}, {420, 300, 120, 110}}, true, 2},
        {"one object, reduced", {1920, 1080}, 100, 100, {{700, 300, 300, 250}}, true, 1},
        // 6215 and 5750 px² by the full-size rule, 4 % either side of the floor
        {"beside a large object, one just above the floor and one just below, reduced", {1280, 720}, 100, 100,
         {{100, 300, 300, 200}, {600, 100, 74, 74}, {902, 402, 71, 71}}, true, 2},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        MotionDetector detector;
        const cv::Mat before = Scene(c.size, c.levelBefore), after = Scene(c.size, c.levelAfter, c.objects);
        EXPECT_FALSE(detector.Detect(Plane(before)).motion);
        const MotionResult result = detector.Detect(Plane(after));
        EXPECT_EQ(result.motion, c.motion);
        ASSERT_EQ(result.boxes.size(), c.boxes);
        if (c.objects.empty() && c.motion) {  // the whole frame changed
            EXPECT_EQ(result.boxes[0], cv::Rect(cv::Point(0, 0), c.size));
            continue;
        }
        std::vector<cv::Rect> boxes = result.boxes;
        std::sort(boxes.begin(), boxes.end(), [](const cv::Rect& a, const cv::Rect& b) { return a.x < b.x; });
        for (std::size_t i = 0; i < boxes.size(); ++i) {  // blur and dilation widen a region by about 3 pixels
            const cv::Rect widened(c.objects[i].tl() - cv::Point(3, 3), c.objects[i].br() + cv::Point(3, 3));
            EXPECT_TRUE(Near(boxes[i], widened, 3)) << boxes[i];
        }
    }
}

TEST(MotionDetector, AFrameOfAnotherSizeBecomesTheReferenceAndAnEmptyOneIsIgnored)
{
    MotionDetector detector;  // both reduce to 320 x 240, and differ by far more than the threshold
    const cv::Mat large = Scene({640, 480}, 100), small = Scene({320, 240}, 20);
    const cv::Mat smallMoved = Scene({320, 240}, 20, {{100, 60, 120, 100}});
    detector.Detect(Plane(large));
    EXPECT_FALSE(detector.Detect(Plane(small)).motion);  // an exception fails the test too
    EXPECT_FALSE(detector.Detect(LumaPlane()).motion);
    EXPECT_TRUE(detector.Detect(Plane(smallMoved)).motion);
}

// Limited-range luma, stretched, is the grey of the picture's RGB conversion;
// full-range luma is that grey already, whether the picture says so by its
// format or by its range field. Colours within what RGB can show; greys at
// their levels in every range.
TEST(MotionDetector, ComparesTheGreyLevelsOfThePicturesRgbWithinOneLevel)
{
    using R = FrameRange;
    const struct { uint8_t y, u, v; FrameRange range; int grey; } colours[] = {
        {16, 128, 128, R::Limited, 0},         {235, 128, 128, R::Limited, 255},     {126, 128, 128, R::Limited, 128},
        {5, 128, 128, R::Limited, 0},          {250, 128, 128, R::Limited, 255},     {81, 90, 240, R::Limited, -1},
        {145, 54, 34, R::Limited, -1},         {41, 240, 110, R::Limited, -1},       {170, 166, 16, R::Limited, -1},
        {0, 128, 128, R::FullByFormat, 0},     {200, 128, 128, R::FullByFormat, 200}, {76, 85, 255, R::FullByFormat, -1},
        {60, 128, 128, R::FullByField, 60},    {200, 128, 128, R::FullByField, 200},
    };
    RgbConverter converter;
    for (const auto& c : colours) {
        for (const cv::Size size : {cv::Size(320, 240), cv::Size(1920, 1080)}) {
            SCOPED_TRACE(testing::Message() << int(c.y) << "," << int(c.u) << "," << int(c.v) << " range "
                                            << static_cast<int>(c.range) << " " << size);
            const VideoFrame frame = UniformFrame(size.width, size.height, c.y, c.u, c.v, c.range);
            std::vector<uint8_t> rgb = converter.ToRgb(frame);
            cv::Mat rgbGrey;
            cv::cvtColor(cv::Mat(size, CV_8UC3, rgb.data()), rgbGrey, cv::COLOR_RGB2GRAY);
            const cv::Mat grey = DetectionGrey(
                {frame.Luma(), frame.LumaStride(), frame.Width(), frame.Height(), frame.IsLimitedRange()});
            ASSERT_FALSE(grey.empty());
            double lowest = 0, highest = 0;
            cv::minMaxLoc(rgbGrey, &lowest, &highest);
            ASSERT_EQ(lowest, highest);
            if (c.grey >= 0) {
                EXPECT_EQ(lowest, c.grey);
            }
            cv::Mat difference;
            cv::absdiff(grey, cv::Scalar::all(lowest), difference);
            cv::minMaxLoc(difference, nullptr, &highest);
            EXPECT_LE(highest, 1) << "RGB's grey " << lowest;
        }
    }
}

// At every scale the marks lie where the full-size marks would after shrinking.
TEST(DrawMotion, MarksBoxesAndLabelAtThePicturesScale)
{
    const MotionResult motion{true, {{200, 160, 240, 200}, {500, 300, 100, 120}}};
    for (const double scale : {1.0, 0.5, 0.3}) {
        SCOPED_TRACE(scale);
        cv::Mat rgb(cv::Size(cvRound(640 * scale), cvRound(480 * scale)), CV_8UC3, cv::Scalar::all(90));
        DrawMotion(rgb, motion, scale);
        const int labelRows = cvRound(60 * scale);  // the label lies above the boxes
        const std::vector<cv::Rect> label = Marks(rgb, 0, labelRows, true);
        ASSERT_FALSE(label.empty());
        EXPECT_NEAR(label.front().x, 24 * scale, 3);
        EXPECT_LE(label.back().br().y, 50 * scale);
        const std::vector<cv::Rect> boxes = Marks(rgb, labelRows, rgb.rows);
        ASSERT_EQ(boxes.size(), 2u);
        for (std::size_t i = 0; i < 2; ++i) {
            const cv::Rect& box = motion.boxes[i];
            const cv::Rect scaled(cvRound(box.x * scale), cvRound(box.y * scale), cvRound(box.width * scale),
                                  cvRound(box.height * scale));
            EXPECT_TRUE(Near(boxes[i], scaled, 1)) << boxes[i] << " for " << scaled;
        }
    }
    cv::Mat untouched(48, 64, CV_8UC3, cv::Scalar::all(90));
    DrawMotion(untouched, MotionResult(), 1.0);
    EXPECT_EQ(cv::countNonZero(untouched.reshape(1) != 90), 0);
}
