#include "RtspStreamDecoder.h"

#include "LoopbackPorts.h"
#include "RunCommand.h"
#include "StreamRecorder.h"
#include "TestCamera.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Generous bounds: they only decide how long a failing test waits.
constexpr auto kConnectWait = 20s;
constexpr auto kEndWait = 20s;

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

void StartRecording(RtspStreamDecoder& decoder, const std::string& url, StreamRecorder& recorder,
                    std::chrono::milliseconds frameHold = 0ms)
{
    StreamRecorder::Sinks sinks = recorder.Attach(frameHold);
    decoder.Start(url, std::move(sinks.onFrame), std::move(sinks.onStatus));
}

struct Rgb {
    int r, g, b;
};

Rgb PixelAt(const RecordedFrame& frame, int x, int y)
{
    const std::size_t at = (static_cast<std::size_t>(y) * frame.width + x) * 3;
    return {frame.rgb[at], frame.rgb[at + 1], frame.rgb[at + 2]};
}

bool IsRed(Rgb p) { return p.r > 200 && p.g < 60 && p.b < 60; }
bool IsBlue(Rgb p) { return p.r < 60 && p.g < 60 && p.b > 200; }

// A scratch directory with H.264 files made by the ffmpeg tool.
class MediaFiles {
public:
    MediaFiles()
    {
        char pattern[] = "/tmp/orvanta-stream-XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            directory = pattern;
        }
    }
    ~MediaFiles()
    {
        if (!directory.empty()) {
            RunCommand({"rm", "-rf", directory});
        }
    }
    MediaFiles(const MediaFiles&) = delete;
    MediaFiles& operator=(const MediaFiles&) = delete;

    // Encodes frameCount pictures of a lavfi source into a raw H.264 file.
    std::string Encode(const std::string& name, const std::string& lavfiSource, int frameCount)
    {
        const std::string path = directory + "/" + name;
        const int status = RunCommand({"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-f", "lavfi",
                                       "-i", lavfiSource, "-frames:v", std::to_string(frameCount), "-c:v",
                                       "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-pix_fmt",
                                       "yuv420p", "-f", "h264", "-y", path});
        return status == 0 ? path : std::string();
    }

    // Writes the given files one after the other into a new file, as a
    // camera would send them.
    std::string Concatenate(const std::string& name, const std::vector<std::string>& parts)
    {
        const std::string path = directory + "/" + name;
        std::ofstream out(path, std::ios::binary);
        for (const std::string& part : parts) {
            std::ifstream in(part, std::ios::binary);
            out << in.rdbuf();
        }
        return out ? path : std::string();
    }

    std::string Write(const std::string& name, const std::string& content)
    {
        const std::string path = directory + "/" + name;
        std::ofstream out(path, std::ios::binary);
        out << content;
        return out ? path : std::string();
    }

private:
    std::string directory;
};

class StreamingCamera : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(camera.Start()); }

    TestCamera camera;
};

}  // namespace

// --- A live camera -------------------------------------------------------

TEST_F(StreamingCamera, ReportsTheStreamBeforeTheFirstFrameAndDeliversExactRgbFrames)
{
    StreamRecorder recorder;
    RtspStreamDecoder decoder;
    StartRecording(decoder, camera.Url(), recorder);
    ASSERT_TRUE(recorder.WaitForFrames(5, kConnectWait));
    EXPECT_TRUE(decoder.IsRunning());
    decoder.Stop();
    EXPECT_FALSE(decoder.IsRunning());

    const std::vector<std::string> statuses = recorder.Statuses();
    ASSERT_EQ(statuses.size(), 2u) << "no more than the two progress lines, and nothing for the stop";
    EXPECT_EQ(statuses[0], "Streaming 320x240 from " + camera.Url());
    EXPECT_EQ(statuses[1], "Receiving frames: 320x240 yuv420p");

    const std::vector<RecordedFrame> frames = recorder.Frames();
    EXPECT_EQ(frames.front().statusesBefore, 2u);
    bool sawObject = false;
    bool sawBackground = false;
    for (const RecordedFrame& frame : frames) {
        ASSERT_EQ(frame.width, 320);
        ASSERT_EQ(frame.height, 240);
        ASSERT_EQ(frame.rgb.size(), 320u * 240u * 3u);
        for (int x = 0; x < frame.width; x += 8) {
            const Rgb p = PixelAt(frame, x, frame.height / 2);
            sawObject = sawObject || (p.r > 200 && p.g > 200 && p.b > 200);
            sawBackground = sawBackground || (p.r < 40 && p.g < 40 && p.b < 40);
        }
    }
    EXPECT_TRUE(sawObject && sawBackground) << "the white object on black is not in the pictures";

    // Stop joined the thread: the callbacks are gone and nothing comes later.
    EXPECT_TRUE(recorder.Released());
    const std::size_t framesAtStop = recorder.FrameCount();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(recorder.FrameCount(), framesAtStop);
}

TEST_F(StreamingCamera, HandsOutAtMostTenFramesPerSecond)
{
    StreamRecorder recorder;
    RtspStreamDecoder decoder;
    StartRecording(decoder, camera.Url(), recorder);
    ASSERT_TRUE(recorder.WaitForFrames(1, kConnectWait));
    std::this_thread::sleep_for(2s);
    decoder.Stop();

    // The camera sends 25 pictures a second. Each emission is at least 100 ms
    // after the one before, so n frames span at least (n - 1) * 100 ms.
    const std::vector<RecordedFrame> frames = recorder.Frames();
    ASSERT_GE(frames.size(), 3u) << "the stream should keep delivering";
    const auto span = frames.back().arrival - frames.front().arrival;
    const auto minimumSpan = (frames.size() - 1) * 100ms;
    // The arrival is taken after the copy out, which may vary a little.
    EXPECT_GE(span + 20ms, minimumSpan) << frames.size() << " frames";
}

TEST_F(StreamingCamera, StartWhileHeldDoesNothing)
{
    StreamRecorder recorder;
    StreamRecorder ignored;
    RtspStreamDecoder decoder;
    StartRecording(decoder, camera.Url(), recorder);
    ASSERT_TRUE(recorder.WaitForFrames(1, kConnectWait));

    StartRecording(decoder, "rtsp://127.0.0.1:1/other", ignored);
    EXPECT_TRUE(ignored.WaitForRelease(1s)) << "the second callbacks should be dropped at once";
    EXPECT_TRUE(recorder.WaitForFrames(recorder.FrameCount() + 2, kConnectWait)) << "the first stream goes on";
    decoder.Stop();
    EXPECT_TRUE(ignored.Statuses().empty());
    EXPECT_EQ(ignored.FrameCount(), 0u);
    EXPECT_EQ(recorder.Statuses().size(), 2u);
}

TEST_F(StreamingCamera, StopTwiceAndRestart)
{
    StreamRecorder first;
    StreamRecorder second;
    RtspStreamDecoder decoder;
    StartRecording(decoder, camera.Url(), first);
    ASSERT_TRUE(first.WaitForFrames(1, kConnectWait));
    decoder.Stop();
    decoder.Stop();
    EXPECT_FALSE(decoder.IsRunning());

    // A new connection starts from scratch: its own progress lines and a first
    // frame at once.
    StartRecording(decoder, camera.Url(), second);
    EXPECT_TRUE(decoder.IsRunning());
    ASSERT_TRUE(second.WaitForFrames(1, kConnectWait));
    decoder.Stop();
    const std::vector<std::string> statuses = second.Statuses();
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_TRUE(StartsWith(statuses[0], "Streaming 320x240 from "));
    EXPECT_TRUE(StartsWith(statuses[1], "Receiving frames: "));
    EXPECT_EQ(first.Statuses().size(), 2u);
}

TEST_F(StreamingCamera, DestroyingARunningDecoderJoinsItsThread)
{
    StreamRecorder recorder;
    {
        RtspStreamDecoder decoder;
        StartRecording(decoder, camera.Url(), recorder);
        ASSERT_TRUE(recorder.WaitForFrames(1, kConnectWait));
    }
    EXPECT_TRUE(recorder.Released()) << "the thread outlived its decoder";
    EXPECT_EQ(recorder.Statuses().size(), 2u);
}

TEST_F(StreamingCamera, StatusHidesThePasswordButTheDecoderConnects)
{
    const std::string prefix = "rtsp://";
    ASSERT_TRUE(StartsWith(camera.Url(), prefix));
    const std::string hostAndPath = camera.Url().substr(prefix.size());
    const std::string url = prefix + "viewer:s3cr%40t:x@" + hostAndPath;

    StreamRecorder recorder;
    RtspStreamDecoder decoder;
    StartRecording(decoder, url, recorder);
    ASSERT_TRUE(recorder.WaitForFrames(1, kConnectWait));
    decoder.Stop();

    const std::vector<std::string> statuses = recorder.Statuses();
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses[0], "Streaming 320x240 from rtsp://viewer:***@" + hostAndPath);
    for (const std::string& status : statuses) {
        EXPECT_EQ(status.find("s3cr"), std::string::npos) << status;
    }
}

TEST(CameraStream, AudioBesideTheVideoIsIgnored)
{
    TestCameraOptions options;
    options.audio = true;
    TestCamera camera;
    ASSERT_TRUE(camera.Start(options));

    StreamRecorder recorder;
    RtspStreamDecoder decoder;
    StartRecording(decoder, camera.Url(), recorder);
    ASSERT_TRUE(recorder.WaitForFrames(5, kConnectWait));
    decoder.Stop();

    const std::vector<std::string> statuses = recorder.Statuses();
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[0], "Streaming 320x240 from " + camera.Url());
    EXPECT_EQ(statuses[1], "Receiving frames: 320x240 yuv420p");
    for (const RecordedFrame& frame : recorder.Frames()) {
        EXPECT_EQ(frame.rgb.size(), 320u * 240u * 3u);
    }
}

TEST(CameraStream, AudioOnlySourceHasNoVideoStream)
{
    TestCameraOptions options;
    options.audioOnly = true;
    TestCamera camera;
    ASSERT_TRUE(camera.Start(options));

    StreamRecorder recorder;
    RtspStreamDecoder decoder;
    StartRecording(decoder, camera.Url(), recorder);
    ASSERT_TRUE(recorder.WaitForRelease(kEndWait)) << "the thread should end by itself";
    EXPECT_TRUE(decoder.IsRunning());
    EXPECT_EQ(recorder.Statuses(), std::vector<std::string>{"No video stream found in RTSP source."});
    EXPECT_EQ(recorder.FrameCount(), 0u);
    decoder.Stop();
    EXPECT_FALSE(decoder.IsRunning());
}

TEST(CameraStream, ACameraThatGoesAwayEndsTheStreamOnce)
{
    TestCamera camera;
    ASSERT_TRUE(camera.Start());
    StreamRecorder recorder;
    RtspStreamDecoder decoder;
    StartRecording(decoder, camera.Url(), recorder);
    ASSERT_TRUE(recorder.WaitForFrames(1, kConnectWait));

    camera.Stop();
    ASSERT_TRUE(recorder.WaitForRelease(kEndWait)) << "the thread should end by itself";
    EXPECT_TRUE(decoder.IsRunning()) << "the ended thread stays held until Stop";
    const std::vector<std::string> statuses = recorder.Statuses();
    ASSERT_EQ(statuses.size(), 3u);
    EXPECT_TRUE(StartsWith(statuses[2], "Stream read stopped: ")) << statuses[2];
    EXPECT_GT(statuses[2].size(), std::string("Stream read stopped: ").size());

    // Held, so a new Start does nothing until Stop.
    StreamRecorder ignored;
    StartRecording(decoder, camera.Url(), ignored);
    EXPECT_TRUE(ignored.Released());
    decoder.Stop();
    EXPECT_FALSE(decoder.IsRunning());
    EXPECT_EQ(recorder.Statuses().size(), 3u);
    EXPECT_TRUE(ignored.Statuses().empty());
}

TEST(CameraStream, ASilentCameraTimesOut)
{
    TestCamera camera;
    ASSERT_TRUE(camera.Start());
    StreamRecorder recorder;
    RtspStreamDecoder decoder;
    StartRecording(decoder, camera.Url(), recorder);
    ASSERT_TRUE(recorder.WaitForFrames(1, kConnectWait));

    // The connection stays open but nothing more arrives: the socket time-out
    // of a few seconds must end the read rather than wait for ever.
    camera.Pause();
    const bool ended = recorder.WaitForRelease(kEndWait);
    camera.Resume();
    ASSERT_TRUE(ended) << "a silent camera kept the decoder waiting";
    const std::vector<std::string> statuses = recorder.Statuses();
    ASSERT_EQ(statuses.size(), 3u);
    EXPECT_TRUE(StartsWith(statuses[2], "Stream read stopped: ")) << statuses[2];
    EXPECT_TRUE(decoder.IsRunning());
    decoder.Stop();
}

TEST(CameraStream, StopWhileAReadBlocksSaysNothing)
{
    TestCamera camera;
    ASSERT_TRUE(camera.Start());
    StreamRecorder recorder;
    RtspStreamDecoder decoder;
    StartRecording(decoder, camera.Url(), recorder);
    ASSERT_TRUE(recorder.WaitForFrames(1, kConnectWait));

    camera.Pause();
    std::this_thread::sleep_for(500ms);
    const auto stopBegin = std::chrono::steady_clock::now();
    decoder.Stop();
    const auto stopTook = std::chrono::steady_clock::now() - stopBegin;
    camera.Resume();

    EXPECT_LT(stopTook, 3s) << "Stop waited for the socket time-out instead of interrupting the read";
    EXPECT_EQ(recorder.Statuses().size(), 2u);
    EXPECT_TRUE(recorder.Released());
}

// --- Sources that never stream ---------------------------------------------

TEST(UnusableSource, EachEndsWithOneOpenFailure)
{
    MediaFiles files;
    const std::string notVideo = files.Write("notes.txt", "These are notes, not a video.\n");
    ASSERT_FALSE(notVideo.empty());
    ClosedLoopbackPort closed;
    ASSERT_GT(closed.Port(), 0);
    // A label longer than 63 characters is rejected by the resolver itself,
    // so no name server is ever asked.
    const std::string noSuchHost = "rtsp://" + std::string(70, 'x') + ".invalid/stream";

    const std::vector<std::string> urls = {
        "", "   ", "not a url", notVideo, noSuchHost,
        "rtsp://127.0.0.1:" + std::to_string(closed.Port()) + "/stream",
    };
    for (const std::string& url : urls) {
        SCOPED_TRACE("url \"" + url + "\"");
        StreamRecorder recorder;
        RtspStreamDecoder decoder;
        StartRecording(decoder, url, recorder);
        ASSERT_TRUE(recorder.WaitForRelease(kEndWait)) << "the thread should end by itself";
        EXPECT_TRUE(decoder.IsRunning()) << "the ended thread stays held until Stop";
        const std::vector<std::string> statuses = recorder.Statuses();
        ASSERT_EQ(statuses.size(), 1u);
        EXPECT_TRUE(StartsWith(statuses[0], "Unable to open stream: ")) << statuses[0];
        EXPECT_GT(statuses[0].size(), std::string("Unable to open stream: ").size());
        EXPECT_EQ(recorder.FrameCount(), 0u);
        decoder.Stop();
        EXPECT_FALSE(decoder.IsRunning());
    }
}

TEST(UnusableSource, AServerThatNeverAnswersTimesOut)
{
    SilentLoopbackServer server;
    ASSERT_GT(server.Port(), 0);
    StreamRecorder recorder;
    RtspStreamDecoder decoder;
    StartRecording(decoder, "rtsp://127.0.0.1:" + std::to_string(server.Port()) + "/stream", recorder);
    ASSERT_TRUE(recorder.WaitForRelease(kEndWait)) << "a silent server kept the decoder waiting";
    const std::vector<std::string> statuses = recorder.Statuses();
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_TRUE(StartsWith(statuses[0], "Unable to open stream: ")) << statuses[0];
    decoder.Stop();
}

TEST(UnusableSource, StopWhileConnectingReturnsPromptly)
{
    SilentLoopbackServer server;
    ASSERT_GT(server.Port(), 0);
    StreamRecorder recorder;
    RtspStreamDecoder decoder;
    StartRecording(decoder, "rtsp://127.0.0.1:" + std::to_string(server.Port()) + "/stream", recorder);
    std::this_thread::sleep_for(300ms);
    const auto stopBegin = std::chrono::steady_clock::now();
    decoder.Stop();
    const auto stopTook = std::chrono::steady_clock::now() - stopBegin;

    EXPECT_LT(stopTook, 3s) << "Stop waited for the socket time-out";
    EXPECT_TRUE(recorder.Released());
    // The aborted open is reported like any failed open, at most once.
    const std::vector<std::string> statuses = recorder.Statuses();
    ASSERT_LE(statuses.size(), 1u);
    if (!statuses.empty()) {
        EXPECT_TRUE(StartsWith(statuses[0], "Unable to open stream: ")) << statuses[0];
    }
}

TEST(DecoderLifecycle, StopWithoutStartReturnsAtOnce)
{
    RtspStreamDecoder decoder;
    EXPECT_FALSE(decoder.IsRunning());
    decoder.Stop();
    decoder.Stop();
    EXPECT_FALSE(decoder.IsRunning());
}

// --- Files: resolution changes, pacing from the first picture, edge pixels --

TEST(FileSource, ResolutionChangeRebuildsTheConverterWithoutANewReport)
{
    MediaFiles files;
    const std::string large = files.Encode("large.h264", "color=c=red:s=320x240:r=25", 4);
    const std::string small = files.Encode("small.h264", "color=c=blue:s=160x120:r=25", 4);
    ASSERT_FALSE(large.empty());
    ASSERT_FALSE(small.empty());
    const std::string changing = files.Concatenate("changing.h264", {large, small});
    ASSERT_FALSE(changing.empty());

    // A frame callback slower than 100 ms makes every picture due, so each of
    // the eight pictures comes out.
    StreamRecorder recorder;
    RtspStreamDecoder decoder;
    StartRecording(decoder, changing, recorder, 110ms);
    ASSERT_TRUE(recorder.WaitForRelease(kEndWait)) << "the end of the file should end the thread";
    EXPECT_TRUE(decoder.IsRunning());
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
            const Rgb p = PixelAt(frame, x, y);
            EXPECT_TRUE(before ? IsRed(p) : IsBlue(p)) << x << "," << y << ": " << p.r << " " << p.g << " " << p.b;
        }
    }
}

TEST(FileSource, FirstPictureComesOutAtOnceAndFastPicturesAreDropped)
{
    MediaFiles files;
    const std::string first = files.Encode("first.h264", "color=c=red:s=320x240:r=25", 1);
    const std::string rest = files.Encode("rest.h264", "color=c=blue:s=320x240:r=25", 49);
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(rest.empty());
    const std::string source = files.Concatenate("source.h264", {first, rest});

    // A file is read as fast as it decodes, far faster than 25 per second.
    StreamRecorder recorder;
    RtspStreamDecoder decoder;
    const auto begin = std::chrono::steady_clock::now();
    StartRecording(decoder, source, recorder);
    ASSERT_TRUE(recorder.WaitForRelease(kEndWait));
    const auto took = std::chrono::steady_clock::now() - begin;
    decoder.Stop();

    const std::vector<RecordedFrame> frames = recorder.Frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(IsRed(PixelAt(frames.front(), 160, 120))) << "the first frame is not the first picture";
    EXPECT_LE(frames.size(), 1u + static_cast<std::size_t>(took / 100ms)) << "pacing let too many through";
    EXPECT_LT(frames.size(), 50u);
    const std::vector<std::string> statuses = recorder.Statuses();
    ASSERT_EQ(statuses.size(), 3u);
    EXPECT_EQ(statuses[2], "Stream read stopped: End of file");
}

TEST(FileSource, RightmostPixelsOfOddWidthsAreConverted)
{
    // 322 is 2 past a multiple of 16: converters working in blocks leave the
    // last pixels of a row alone unless the row has room for a whole block.
    MediaFiles files;
    const std::string halves =
        files.Encode("halves.h264", "color=c=red:s=162x250:r=25,pad=322:250:0:0:color=blue", 3);
    ASSERT_FALSE(halves.empty());

    StreamRecorder recorder;
    RtspStreamDecoder decoder;
    StartRecording(decoder, halves, recorder, 110ms);
    ASSERT_TRUE(recorder.WaitForRelease(kEndWait));
    decoder.Stop();

    const std::vector<RecordedFrame> frames = recorder.Frames();
    ASSERT_EQ(frames.size(), 3u);
    for (const RecordedFrame& frame : frames) {
        ASSERT_EQ(frame.width, 322);
        ASSERT_EQ(frame.height, 250);
        ASSERT_EQ(frame.rgb.size(), 322u * 250u * 3u);
        for (int y : {0, 1, 124, 248, 249}) {
            for (int x : {0, 1, 150}) {
                EXPECT_TRUE(IsRed(PixelAt(frame, x, y))) << x << "," << y;
            }
            for (int x : {172, 310, 319, 320, 321}) {
                const Rgb p = PixelAt(frame, x, y);
                EXPECT_TRUE(IsBlue(p)) << x << "," << y << ": " << p.r << " " << p.g << " " << p.b;
            }
        }
    }
}
