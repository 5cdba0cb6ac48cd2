#include "MotionDetector.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace {

const cv::Vec3b kMarkColour(255, 64, 64);
const cv::Scalar kBackground(100, 100, 100);
const cv::Scalar kObject(230, 230, 230);

// Rows 0..59 hold the label; boxes of the scenes below lie well under it.
constexpr int kLabelBottom = 60;

cv::Mat Scene(int width, int height, const std::vector<cv::Rect>& objects = {})
{
    cv::Mat frame(height, width, CV_8UC3, kBackground);
    for (const auto& r : objects)
        cv::rectangle(frame, r, kObject, cv::FILLED);
    return frame;
}

bool SameImage(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// 255 where the pixel has exactly the mark colour.
cv::Mat MarkMask(const cv::Mat& frame)
{
    cv::Mat mask;
    cv::inRange(frame, kMarkColour, kMarkColour, mask);
    return mask;
}

int LabelPixels(const cv::Mat& frame)
{
    return cv::countNonZero(MarkMask(frame)(cv::Rect(0, 0, frame.cols, kLabelBottom)));
}

// Boxes drawn below the label area, as the bounding rectangles of the
// connected outlines of mark-coloured pixels, left to right.
std::vector<cv::Rect> Boxes(const cv::Mat& frame)
{
    cv::Mat mask = MarkMask(frame);
    mask(cv::Rect(0, 0, frame.cols, kLabelBottom)).setTo(0);
    std::vector<std::vector<cv::Point>> outlines;
    cv::findContours(mask, outlines, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    std::vector<cv::Rect> boxes;
    for (const auto& outline : outlines)
        boxes.push_back(cv::boundingRect(outline));
    std::sort(boxes.begin(), boxes.end(),
              [](const cv::Rect& a, const cv::Rect& b) { return a.x < b.x; });
    return boxes;
}

// The box must enclose the object with a margin of a few pixels (blur and
// dilation widen the changed region), and no more.
void ExpectBoxAround(const cv::Rect& box, const cv::Rect& object)
{
    constexpr int kMaxMargin = 10;
    EXPECT_TRUE((box & object) == object) << box << " does not enclose " << object;
    EXPECT_GE(box.x, object.x - kMaxMargin);
    EXPECT_GE(box.y, object.y - kMaxMargin);
    EXPECT_LE(box.br().x, object.br().x + kMaxMargin);
    EXPECT_LE(box.br().y, object.br().y + kMaxMargin);
}

}  // namespace

TEST(MotionDetectorQuiet, ChangesBelowEitherThresholdAreNotMotionAndLeaveTheFrameUntouched)
{
    std::vector<cv::Rect> specks;
    for (int y = 70; y + 30 <= 480; y += 80)
        for (int x = 10; x + 30 <= 640; x += 80)
            specks.emplace_back(x, y, 30, 30);
    ASSERT_GT(specks.size() * 30 * 30, 640u * 480u / 100u);

    struct Case {
        const char* what;
        cv::Size size;
        std::vector<cv::Rect> before;  // empty: the detector sees only `after`
        bool firstFrame;
        std::vector<cv::Rect> after;
    };
    const cv::Rect object(300, 200, 120, 100);
    const std::vector<Case> cases = {
        {"the first frame", {640, 480}, {}, true, {object}},
        {"an identical frame", {640, 480}, {object}, false, {object}},
        // Several per cent of a 200 x 150 frame, but a region far below 6000 px².
        {"one small change", {200, 150}, {}, false, {cv::Rect(120, 80, 40, 40)}},
        {"many small changes adding up", {640, 480}, {}, false, specks},
        // About 9000 px²: a region above 6000 px², but under 1 % of 1080p.
        {"a large region in a huge frame", {1920, 1080}, {}, false, {cv::Rect(900, 500, 100, 80)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MotionDetector detector;
        if (!c.firstFrame) {
            cv::Mat before = Scene(c.size.width, c.size.height, c.before);
            detector.DetectAndAnnotate(before);
        }
        cv::Mat after = Scene(c.size.width, c.size.height, c.after);
        const cv::Mat original = after.clone();
        EXPECT_FALSE(detector.DetectAndAnnotate(after));
        EXPECT_TRUE(SameImage(after, original));
    }

    // The object of the huge frame is well above 1 % of a smaller one.
    MotionDetector detector;
    cv::Mat before = Scene(640, 480);
    cv::Mat after = Scene(640, 480, {cv::Rect(300, 200, 100, 80)});
    detector.DetectAndAnnotate(before);
    EXPECT_TRUE(detector.DetectAndAnnotate(after));
}

TEST(MotionDetectorMotion, LargeObjectGetsOneBoxAndTheLabel)
{
    const cv::Rect object(300, 200, 120, 100);
    MotionDetector detector;
    cv::Mat before = Scene(640, 480);
    cv::Mat after = Scene(640, 480, {object});
    detector.DetectAndAnnotate(before);
    ASSERT_TRUE(detector.DetectAndAnnotate(after));

    const auto boxes = Boxes(after);
    ASSERT_EQ(boxes.size(), 1u);
    ExpectBoxAround(boxes[0], object);
    // Only an outline: the inside of the object keeps its own colour.
    EXPECT_EQ(after.at<cv::Vec3b>(250, 360), cv::Vec3b(230, 230, 230));

    // The label starts at x = 24 with its baseline at y = 44.
    EXPECT_GT(LabelPixels(after), 100);
    const cv::Rect labelBox = cv::boundingRect(MarkMask(after)(cv::Rect(0, 0, after.cols, kLabelBottom)));
    EXPECT_TRUE(labelBox.x >= 24 && labelBox.x <= 30 && labelBox.y >= 20 && labelBox.br().y <= 50) << labelBox;

    // Anti-aliased text: its edges blend the mark colour into the background.
    int blended = 0;
    for (int y = labelBox.y; y < labelBox.br().y; ++y)
        for (int x = labelBox.x; x < labelBox.br().x; ++x) {
            const cv::Vec3b px = after.at<cv::Vec3b>(y, x);
            blended += px != kMarkColour && px != cv::Vec3b(100, 100, 100);
        }
    EXPECT_GT(blended, 0);
}

TEST(MotionDetectorMotion, HollowObjectGetsOneBoxAroundItsOutside)
{
    const cv::Rect outside(200, 120, 220, 220);
    const cv::Rect hole(240, 160, 140, 140);
    MotionDetector detector;
    cv::Mat before = Scene(640, 480);
    cv::Mat after = Scene(640, 480, {outside});
    cv::rectangle(after, hole, kBackground, cv::FILLED);
    detector.DetectAndAnnotate(before);
    ASSERT_TRUE(detector.DetectAndAnnotate(after));
    const auto boxes = Boxes(after);
    ASSERT_EQ(boxes.size(), 1u);
    ExpectBoxAround(boxes[0], outside);
    EXPECT_EQ(cv::countNonZero(MarkMask(after)(hole)), 0);
}

TEST(MotionDetectorMotion, TwoSeparateObjectsGetTwoBoxesAndOneLabel)
{
    const cv::Rect left(60, 150, 110, 100);
    const cv::Rect right(420, 300, 120, 110);
    MotionDetector detector;
    cv::Mat before = Scene(640, 480);
    cv::Mat after = Scene(640, 480, {left, right});
    detector.DetectAndAnnotate(before);
    ASSERT_TRUE(detector.DetectAndAnnotate(after));

    const auto boxes = Boxes(after);
    ASSERT_EQ(boxes.size(), 2u);
    ExpectBoxAround(boxes[0], left);
    ExpectBoxAround(boxes[1], right);
    EXPECT_GT(LabelPixels(after), 100);
}

TEST(MotionDetectorMotion, GlobalBrightnessJumpAbove45LevelsCountsAsMotion)
{
    MotionDetector detector;
    cv::Mat dark = Scene(320, 240);
    cv::Mat lighter(240, 320, CV_8UC3, cv::Scalar(140, 140, 140));
    cv::Mat bright(240, 320, CV_8UC3, cv::Scalar(200, 200, 200));
    detector.DetectAndAnnotate(dark);
    EXPECT_FALSE(detector.DetectAndAnnotate(lighter));
    EXPECT_TRUE(detector.DetectAndAnnotate(bright));
    EXPECT_GT(LabelPixels(bright), 100);
}

TEST(MotionDetectorMotion, AnnotationsNeverFeedTheNextComparison)
{
    // A 3 x 3 grid of dark squares on white, 14 px apart: their boxes run in
    // close pairs along the gaps and, once blurred, would form a lattice of
    // change that encloses far more than 6000 px². Only a grey image taken
    // after drawing would see it when the un-annotated scene follows.
    const cv::Mat white(480, 640, CV_8UC3, cv::Scalar(255, 255, 255));
    cv::Mat grid = white.clone();
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            cv::rectangle(grid, cv::Rect(150 + col * 114, 80 + row * 114, 100, 100),
                          cv::Scalar(0, 0, 0), cv::FILLED);

    MotionDetector detector;
    cv::Mat before = white.clone();
    cv::Mat annotated = grid.clone();
    cv::Mat sameScene = grid.clone();
    detector.DetectAndAnnotate(before);
    ASSERT_TRUE(detector.DetectAndAnnotate(annotated));
    ASSERT_EQ(Boxes(annotated).size(), 9u);
    EXPECT_FALSE(detector.DetectAndAnnotate(sameScene));
    EXPECT_TRUE(SameImage(sameScene, grid));
}

TEST(MotionDetectorOddFrames, SizeChangeStartsOverAtTheNewSize)
{
    MotionDetector detector;
    cv::Mat large = Scene(640, 480);
    detector.DetectAndAnnotate(large);

    // A different scene at a new size would be motion if it were compared;
    // the same pixel count in another shape is a new size too.
    cv::Mat small(240, 320, CV_8UC3, cv::Scalar(200, 200, 200));
    const cv::Mat original = small.clone();
    bool motion = true;
    EXPECT_NO_THROW(motion = detector.DetectAndAnnotate(small));
    EXPECT_FALSE(motion);
    EXPECT_TRUE(SameImage(small, original));

    const cv::Rect object(150, 100, 100, 90);
    cv::Mat smallMoved = original.clone();
    cv::rectangle(smallMoved, object, cv::Scalar(60, 60, 60), cv::FILLED);
    ASSERT_TRUE(detector.DetectAndAnnotate(smallMoved));
    const auto boxes = Boxes(smallMoved);
    ASSERT_EQ(boxes.size(), 1u);
    ExpectBoxAround(boxes[0], object);

    cv::Mat tall(320, 240, CV_8UC3, cv::Scalar(30, 30, 30));
    motion = true;
    EXPECT_NO_THROW(motion = detector.DetectAndAnnotate(tall));
    EXPECT_FALSE(motion);
}

TEST(MotionDetectorOddFrames, EmptyOrForeignFramesAreIgnored)
{
    MotionDetector detector;
    cv::Mat before = Scene(640, 480);
    detector.DetectAndAnnotate(before);

    cv::Mat empty;
    cv::Mat zeroRows(0, 640, CV_8UC3);
    cv::Mat singleChannel(480, 640, CV_8UC1, cv::Scalar(10));
    cv::Mat fourChannels(480, 640, CV_8UC4, cv::Scalar(10, 10, 10, 255));
    for (cv::Mat* odd : {&empty, &zeroRows, &singleChannel, &fourChannels}) {
        const cv::Mat original = odd->clone();
        bool motion = true;
        EXPECT_NO_THROW(motion = detector.DetectAndAnnotate(*odd));
        EXPECT_FALSE(motion);
        EXPECT_TRUE(odd->empty() || SameImage(*odd, original));
    }

    // The last proper frame is still the reference.
    cv::Mat after = Scene(640, 480, {cv::Rect(300, 200, 120, 100)});
    EXPECT_TRUE(detector.DetectAndAnnotate(after));
}
