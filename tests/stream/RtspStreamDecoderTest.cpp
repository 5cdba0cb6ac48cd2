#include "RtspStreamDecoder.h"

#include "LoopbackPorts.h"
#include "RunCommand.h"
#include "TestCamera.h"
#include "TestDaemons.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Generous: it only decides how long a failing test waits.
constexpr auto kWait = 20s;
const std::string kOpenFailed = "Unable to open stream: ";
const std::string kReadStopped = "Stream read stopped: ";

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

struct RecordedFrame {
    std::vector<uint8_t> rgb;
    int width = 0;
    int height = 0;
    std::size_t statusesBefore = 0;  // status lines that had arrived when this frame did
    std::chrono::steady_clock::time_point arrival;

    std::vector<int> At(int x, int y) const
    {
        const std::size_t at = (static_cast<std::size_t>(y) * width + x) * 3;
        return {rgb[at], rgb[at + 1], rgb[at + 2]};
    }
};

bool IsRed(const std::vector<int>& p) { return p[0] > 200 && p[1] < 60 && p[2] < 60; }
bool IsBlue(const std::vector<int>& p) { return p[0] < 60 && p[1] < 60 && p[2] > 200; }

// Collects what a decoder reports, from the decoder thread, for a test thread
// that waits on it with bounded time-outs.
class StreamRecorder {
public:
    // Starts the decoder with callbacks into this recorder. The frame callback
    // keeps the decoder thread for frameHold, to model slow frame handling.
    // Both share a token whose end tells that the decoder has dropped them,
    // that is, that its thread body has ended.
    void Start(RtspStreamDecoder& decoder, const std::string& url, std::chrono::milliseconds frameHold = 0ms)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            released = false;
        }
        std::shared_ptr<void> token(nullptr, [this](void*) {
            std::lock_guard<std::mutex> lock(mutex);
            released = true;
            changed.notify_all();
        });
        decoder.Start(
            url,
            [this, token, frameHold](std::vector<uint8_t> rgb, int width, int height) {
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    frames.push_back({std::move(rgb), width, height, statuses.size(), std::chrono::steady_clock::now()});
                    changed.notify_all();
                }
                std::this_thread::sleep_for(frameHold);
            },
            [this, token](const std::string& text) {
                std::lock_guard<std::mutex> lock(mutex);
                statuses.push_back(text);
                changed.notify_all();
            });
    }

    bool WaitForFrames(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kWait, [&] { return frames.size() >= count; });
    }
    // True once the callbacks of the last Start have been released.
    bool WaitForRelease(std::chrono::milliseconds timeout = kWait)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return released; });
    }
    std::vector<std::string> Statuses()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return statuses;
    }
    std::vector<RecordedFrame> Frames()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return frames;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> statuses;
    std::vector<RecordedFrame> frames;
    bool released = true;
};

// Encodes frameCount pictures of a lavfi source into a raw H.264 file.
std::string Encode(const TempDir& dir, const std::string& name, const std::string& lavfiSource, int frameCount)
{
    const std::string path = dir.Path() + "/" + name;
    const int status = RunCommand({"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                                   lavfiSource, "-frames:v", std::to_string(frameCount), "-c:v", "libx264",
                                   "-preset", "ultrafast", "-tune", "zerolatency", "-pix_fmt", "yuv420p", "-f",
                                   "h264", "-y", path});
    return status == 0 ? path : std::string();
}

// Two encoded files one after the other, as a camera would send them.
std::string Concatenate(const TempDir& dir, const std::string& first, const std::string& second)
{
    const std::string path = dir.Path() + "/joined.h264";
    WriteFile(path, ReadFile(first) + ReadFile(second));
    return path;
}

void ExpectProgressLines(StreamRecorder& recorder, const std::string& url)
{
    EXPECT_EQ(recorder.Statuses(),
              (std::vector<std::string>{"Streaming 320x240 from " + url, "Receiving frames: 320x240 yuv420p"}));
}

// The decoder thread ended by itself after `progressLines` lines, with `last`
// and a reason as its final line. A camera cut off mid-picture may leave a
// truncated packet whose failed send is reported in between: the loop goes on.
void ExpectEndedWith(StreamRecorder& recorder, RtspStreamDecoder& decoder, std::size_t progressLines,
                     const std::string& last)
{
    ASSERT_TRUE(recorder.WaitForRelease()) << "the thread should end by itself";
    EXPECT_TRUE(decoder.IsRunning()) << "the ended thread stays held until Stop";
    const std::vector<std::string> statuses = recorder.Statuses();
    ASSERT_GT(statuses.size(), progressLines) << testing::PrintToString(statuses);
    for (std::size_t i = progressLines; i + 1 < statuses.size(); ++i) {
        EXPECT_TRUE(StartsWith(statuses[i], "Decoder send failed: ")) << testing::PrintToString(statuses);
    }
    EXPECT_TRUE(StartsWith(statuses.back(), last)) << statuses.back();
    EXPECT_GT(statuses.back().size(), last.size()) << "the reason is missing";
}

// A decoder and what it reports; the decoder goes first, joining its thread.
class StreamingCamera : public ::testing::Test {
protected:
    // Starts the test camera and the decoder on it, and waits for frames.
    void StreamFor(std::size_t frames, const TestCameraOptions& options = {})
    {
        ASSERT_TRUE(camera.Start(options));
        recorder.Start(decoder, camera.Url());
        ASSERT_TRUE(recorder.WaitForFrames(frames));
    }

    TestCamera camera;
    StreamRecorder recorder;
    StreamRecorder other;  // for a second Start on the same decoder
    RtspStreamDecoder decoder;
};
using CameraStream = StreamingCamera;
using UnusableSource = StreamingCamera;
using FileSource = StreamingCamera;

}  // namespace

// --- A live camera -------------------------------------------------------

// The camera sends audio beside the video, which the decoder leaves alone.
TEST_F(StreamingCamera, ReportsTheStreamBeforeTheFirstFrameAndDeliversExactRgbFrames)
{
    TestCameraOptions withAudio;
    withAudio.audio = true;
    ASSERT_NO_FATAL_FAILURE(StreamFor(1, withAudio));
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(decoder.IsRunning());
    decoder.Stop();
    EXPECT_FALSE(decoder.IsRunning());
    // No more than the two progress lines, and nothing for the stop.
    ExpectProgressLines(recorder, camera.Url());

    const std::vector<RecordedFrame> frames = recorder.Frames();
    EXPECT_EQ(frames.front().statusesBefore, 2u);
    // The camera sends 25 pictures a second; each frame handed out comes at
    // least 100 ms after the one before (the arrival is taken after the copy
    // out, which may vary a little).
    ASSERT_GE(frames.size(), 3u) << "the stream should keep delivering";
    EXPECT_GE(frames.back().arrival - frames.front().arrival + 20ms, (frames.size() - 1) * 100ms)
        << frames.size() << " frames";
    bool sawObject = false;
    bool sawBackground = false;
    for (const RecordedFrame& frame : frames) {
        ASSERT_EQ(frame.width, 320);
        ASSERT_EQ(frame.height, 240);
        ASSERT_EQ(frame.rgb.size(), 320u * 240u * 3u);
        for (int x = 0; x < frame.width; x += 8) {
            const std::vector<int> p = frame.At(x, frame.height / 2);
            sawObject = sawObject || (p[0] > 200 && p[1] > 200 && p[2] > 200);
            sawBackground = sawBackground || (p[0] < 40 && p[1] < 40 && p[2] < 40);
        }
    }
    EXPECT_TRUE(sawObject && sawBackground) << "the white object on black is not in the pictures";

    // Stop joined the thread: the callbacks are gone and nothing comes later.
    EXPECT_TRUE(recorder.WaitForRelease(0ms));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(recorder.Frames().size(), frames.size());
}

TEST_F(StreamingCamera, StartWhileHeldDoesNothing)
{
    ASSERT_NO_FATAL_FAILURE(StreamFor(1));

    other.Start(decoder, "rtsp://127.0.0.1:1/other");
    EXPECT_TRUE(other.WaitForRelease(1s)) << "the second callbacks should be dropped at once";
    EXPECT_TRUE(recorder.WaitForFrames(recorder.Frames().size() + 2)) << "the first stream goes on";
    decoder.Stop();
    EXPECT_TRUE(other.Statuses().empty());
    EXPECT_TRUE(other.Frames().empty());
    EXPECT_EQ(recorder.Statuses().size(), 2u);
}

TEST_F(StreamingCamera, StopTwiceAndRestart)
{
    decoder.Stop();  // without a start: returns at once
    EXPECT_FALSE(decoder.IsRunning());
    ASSERT_NO_FATAL_FAILURE(StreamFor(1));
    decoder.Stop();
    decoder.Stop();
    EXPECT_FALSE(decoder.IsRunning());

    // A new connection starts from scratch: its own progress lines and a first
    // frame at once.
    other.Start(decoder, camera.Url());
    EXPECT_TRUE(decoder.IsRunning());
    ASSERT_TRUE(other.WaitForFrames(1));
    decoder.Stop();
    ExpectProgressLines(other, camera.Url());
    EXPECT_EQ(recorder.Statuses().size(), 2u);
}

TEST_F(StreamingCamera, DestroyingARunningDecoderJoinsItsThread)
{
    ASSERT_TRUE(camera.Start());
    {
        RtspStreamDecoder running;
        recorder.Start(running, camera.Url());
        ASSERT_TRUE(recorder.WaitForFrames(1));
    }
    EXPECT_TRUE(recorder.WaitForRelease(0ms)) << "the thread outlived its decoder";
    EXPECT_EQ(recorder.Statuses().size(), 2u);
}

TEST_F(StreamingCamera, StatusHidesThePasswordButTheDecoderConnects)
{
    ASSERT_TRUE(camera.Start());
    const std::string hostAndPath = camera.Url().substr(std::string("rtsp://").size());
    recorder.Start(decoder, "rtsp://viewer:s3cr%40t:x@" + hostAndPath);
    ASSERT_TRUE(recorder.WaitForFrames(1));
    decoder.Stop();
    ExpectProgressLines(recorder, "rtsp://viewer:***@" + hostAndPath);
}

TEST_F(CameraStream, AudioOnlySourceHasNoVideoStream)
{
    TestCameraOptions options;
    options.audioOnly = true;
    ASSERT_TRUE(camera.Start(options));
    recorder.Start(decoder, camera.Url());
    ASSERT_TRUE(recorder.WaitForRelease()) << "the thread should end by itself";
    EXPECT_TRUE(decoder.IsRunning());
    EXPECT_EQ(recorder.Statuses(), std::vector<std::string>{"No video stream found in RTSP source."});
    EXPECT_TRUE(recorder.Frames().empty());
    decoder.Stop();
    EXPECT_FALSE(decoder.IsRunning());
}

TEST_F(CameraStream, ACameraThatGoesAwayEndsTheStreamOnce)
{
    ASSERT_NO_FATAL_FAILURE(StreamFor(1));

    camera.Stop();
    ExpectEndedWith(recorder, decoder, 2, kReadStopped);

    // Held, so a new Start does nothing until Stop.
    const std::size_t linesAtEnd = recorder.Statuses().size();
    other.Start(decoder, camera.Url());
    EXPECT_TRUE(other.WaitForRelease(0ms));
    decoder.Stop();
    EXPECT_FALSE(decoder.IsRunning());
    EXPECT_EQ(recorder.Statuses().size(), linesAtEnd);
    EXPECT_TRUE(other.Statuses().empty());
}

TEST_F(CameraStream, ASilentCameraTimesOut)
{
    ASSERT_NO_FATAL_FAILURE(StreamFor(1));

    // The connection stays open but nothing more arrives: the socket time-out
    // of a few seconds must end the read rather than wait for ever.
    camera.Pause();
    const bool ended = recorder.WaitForRelease();
    camera.Resume();
    ASSERT_TRUE(ended) << "a silent camera kept the decoder waiting";
    ExpectEndedWith(recorder, decoder, 2, kReadStopped);
}

TEST_F(CameraStream, StopWhileAReadBlocksSaysNothing)
{
    ASSERT_NO_FATAL_FAILURE(StreamFor(1));

    camera.Pause();
    std::this_thread::sleep_for(500ms);
    const auto stopBegin = std::chrono::steady_clock::now();
    decoder.Stop();
    const auto stopTook = std::chrono::steady_clock::now() - stopBegin;
    camera.Resume();

    EXPECT_LT(stopTook, 3s) << "Stop waited for the socket time-out instead of interrupting the read";
    EXPECT_EQ(recorder.Statuses().size(), 2u);
    EXPECT_TRUE(recorder.WaitForRelease(0ms));
}

// --- Sources that never stream ---------------------------------------------

TEST_F(UnusableSource, EachEndsWithOneOpenFailure)
{
    TempDir dir;
    const std::string notVideo = dir.Path() + "/notes.txt";
    WriteFile(notVideo, "These are notes, not a video.\n");
    ClosedLoopbackPort closed;
    ASSERT_GT(closed.Port(), 0);
    // Accepts and never answers: only the socket time-out ends the open.
    SilentLoopbackServer silent;
    ASSERT_GT(silent.Port(), 0);
    // A label longer than 63 characters is rejected by the resolver itself,
    // so no name server is ever asked.
    const std::string noSuchHost = "rtsp://" + std::string(70, 'x') + ".invalid/stream";

    for (const std::string& url : {std::string(), std::string("   "), std::string("not a url"), notVideo, noSuchHost,
                                   "rtsp://127.0.0.1:" + std::to_string(closed.Port()) + "/stream",
                                   "rtsp://127.0.0.1:" + std::to_string(silent.Port()) + "/stream"}) {
        SCOPED_TRACE("url \"" + url + "\"");
        StreamRecorder each;
        RtspStreamDecoder opener;
        each.Start(opener, url);
        ExpectEndedWith(each, opener, 0, kOpenFailed);
        EXPECT_EQ(each.Statuses().size(), 1u);
        EXPECT_TRUE(each.Frames().empty());
        opener.Stop();
        EXPECT_FALSE(opener.IsRunning());
    }
}

TEST_F(UnusableSource, StopWhileConnectingReturnsPromptly)
{
    SilentLoopbackServer server;
    ASSERT_GT(server.Port(), 0);
    recorder.Start(decoder, "rtsp://127.0.0.1:" + std::to_string(server.Port()) + "/stream");
    std::this_thread::sleep_for(300ms);
    const auto stopBegin = std::chrono::steady_clock::now();
    decoder.Stop();
    const auto stopTook = std::chrono::steady_clock::now() - stopBegin;

    EXPECT_LT(stopTook, 3s) << "Stop waited for the socket time-out";
    EXPECT_TRUE(recorder.WaitForRelease(0ms));
    // The aborted open is reported like any failed open, at most once.
    const std::vector<std::string> statuses = recorder.Statuses();
    ASSERT_LE(statuses.size(), 1u);
    if (!statuses.empty()) {
        EXPECT_TRUE(StartsWith(statuses[0], kOpenFailed)) << statuses[0];
    }
}

// --- Files: resolution changes, pacing from the first picture, edge pixels --

TEST_F(FileSource, ResolutionChangeRebuildsTheConverterWithoutANewReport)
{
    TempDir dir;
    const std::string large = Encode(dir, "large.h264", "color=c=red:s=320x240:r=25", 4);
    const std::string small = Encode(dir, "small.h264", "color=c=blue:s=160x120:r=25", 4);
    ASSERT_FALSE(large.empty() || small.empty());
    const std::string changing = Concatenate(dir, large, small);

    // A frame callback slower than 100 ms makes every picture due, so each of
    // the eight pictures comes out.
    recorder.Start(decoder, changing, 110ms);
    ASSERT_NO_FATAL_FAILURE(ExpectEndedWith(recorder, decoder, 2, kReadStopped));
    decoder.Stop();

    const std::vector<std::string> statuses = recorder.Statuses();
    ASSERT_EQ(statuses.size(), 3u);
    // Probing a short file may read past the change, so the announced size
    // is either; the first picture is the large one.
    EXPECT_TRUE(statuses[0] == "Streaming 320x240 from " + changing ||
                statuses[0] == "Streaming 160x120 from " + changing)
        << statuses[0];
    EXPECT_EQ(statuses[1], "Receiving frames: 320x240 yuv420p");
    EXPECT_EQ(statuses[2], "Stream read stopped: End of file");

    const std::vector<RecordedFrame> frames = recorder.Frames();
    ASSERT_EQ(frames.size(), 8u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        const RecordedFrame& frame = frames[i];
        const bool before = i < 4;
        ASSERT_EQ(frame.width, before ? 320 : 160);
        ASSERT_EQ(frame.height, before ? 240 : 120);
        ASSERT_EQ(frame.rgb.size(), static_cast<std::size_t>(frame.width) * frame.height * 3);
        for (const auto& [x, y] : {std::pair<int, int>{0, 0}, {frame.width - 1, frame.height - 1},
                                   {frame.width / 2, frame.height / 2}}) {
            const std::vector<int> p = frame.At(x, y);
            EXPECT_TRUE(before ? IsRed(p) : IsBlue(p)) << x << "," << y << ": " << testing::PrintToString(p);
        }
    }
}

TEST_F(FileSource, FirstPictureComesOutAtOnceAndFastPicturesAreDropped)
{
    TempDir dir;
    const std::string first = Encode(dir, "first.h264", "color=c=red:s=320x240:r=25", 1);
    const std::string rest = Encode(dir, "rest.h264", "color=c=blue:s=320x240:r=25", 49);
    ASSERT_FALSE(first.empty() || rest.empty());

    // A file is read as fast as it decodes, far faster than 25 per second,
    // and at most one frame per 100 ms may come out.
    const auto begin = std::chrono::steady_clock::now();
    recorder.Start(decoder, Concatenate(dir, first, rest));
    ASSERT_TRUE(recorder.WaitForRelease());
    const auto took = std::chrono::steady_clock::now() - begin;
    decoder.Stop();

    const std::vector<RecordedFrame> frames = recorder.Frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(IsRed(frames.front().At(160, 120))) << "the first frame is not the first picture";
    EXPECT_LE(frames.size(), 1u + static_cast<std::size_t>(took / 100ms)) << "pacing let too many through";
    EXPECT_LT(frames.size(), 50u);
    const std::vector<std::string> statuses = recorder.Statuses();
    ASSERT_EQ(statuses.size(), 3u);
    EXPECT_EQ(statuses[2], "Stream read stopped: End of file");
}

TEST_F(FileSource, RightmostPixelsOfOddWidthsAreConverted)
{
    // 322 is 2 past a multiple of 16: converters working in blocks leave the
    // last pixels of a row alone unless the row has room for a whole block.
    TempDir dir;
    const std::string halves = Encode(dir, "halves.h264", "color=c=red:s=162x250:r=25,pad=322:250:0:0:color=blue", 3);
    ASSERT_FALSE(halves.empty());

    recorder.Start(decoder, halves, 110ms);
    ASSERT_TRUE(recorder.WaitForRelease());
    decoder.Stop();

    const std::vector<RecordedFrame> frames = recorder.Frames();
    ASSERT_EQ(frames.size(), 3u);
    for (const RecordedFrame& frame : frames) {
        ASSERT_EQ(frame.width, 322);
        ASSERT_EQ(frame.height, 250);
        ASSERT_EQ(frame.rgb.size(), 322u * 250u * 3u);
        for (int y : {0, 1, 124, 248, 249}) {
            for (int x : {0, 1, 150, 172, 310, 319, 320, 321}) {
                const std::vector<int> p = frame.At(x, y);
                EXPECT_TRUE(x < 162 ? IsRed(p) : IsBlue(p)) << x << "," << y << ": " << testing::PrintToString(p);
            }
        }
    }
}
