#include "RtspStreamDecoder.h"
#include "TestCamera.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Well beyond the decoder's 5 s socket time-out; only a failing test waits it out.
constexpr auto kDeadline = 20s;

struct Frame { VideoFrame picture; Clock::time_point arrival; };

// What a decoder reports from its thread. Read the vectors directly only
// after the decoder's Stop() has joined that thread.
struct Recorder {
    void Start(RtspStreamDecoder& decoder, const std::string& url)
    {
        decoder.Start(
            url,
            [this](VideoFrame picture) {
                std::lock_guard<std::mutex> lock(mutex);
                frames.push_back({std::move(picture), Clock::now()});
                changed.notify_all();
            },
            [this](const std::string& text) {
                std::lock_guard<std::mutex> lock(mutex);
                statuses.push_back(text);
                changed.notify_all();
            },
            [this] {
                std::lock_guard<std::mutex> lock(mutex);
                ++endings;
                changed.notify_all();
            });
    }
    bool WaitUntil(const std::function<bool()>& done)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kDeadline, done);
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Frame> frames;
    std::vector<std::string> statuses;
    int endings = 0;  // calls of the decoder's EndedCallback
};

// A loopback TCP port that refuses connections or, listening, lets them queue
// in the kernel and never answers.
struct LoopbackPort {
    explicit LoopbackPort(bool listening) : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        bind(fd, reinterpret_cast<sockaddr*>(&address), length);
        if (listening)
            listen(fd, 4);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        url = "rtsp://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/stream";
    }
    ~LoopbackPort() { close(fd); }
    int fd;
    std::string url;
};

class Decoder : public ::testing::Test {
protected:
    void StreamFrom(const TestCameraOptions& options, std::size_t frameCount)
    {
        ASSERT_TRUE(camera.Start(options));
        recorder.Start(decoder, camera.Url());
        ASSERT_TRUE(recorder.WaitUntil([&] { return recorder.frames.size() >= frameCount; }));
    }

    TestCamera camera;
    Recorder recorder;
    RtspStreamDecoder decoder;  // declared last, so its thread is joined before the recorder goes
};

}  // namespace

// 322 is 2 past a multiple of 16, where block-wise converters skip the last pixels of a row.
TEST_F(Decoder, DeliversPicturesAtMostEvery100MsThatConvertToExactRgb)
{
    TestCameraOptions colourBars;
    colourBars.scene = "still";
    colourBars.width = 322;
    ASSERT_NO_FATAL_FAILURE(StreamFrom(colourBars, 5));
    decoder.Stop();

    const auto& frames = recorder.frames;
    EXPECT_GE(frames.back().arrival - frames.front().arrival + 20ms, (frames.size() - 1) * 100ms);
    // Seven full bars across the top: white, yellow, cyan, green, magenta, red, blue.
    const int bars[7][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0}, {1, 0, 1}, {1, 0, 0}, {0, 0, 1}};
    RgbConverter converter;
    for (const Frame& frame : frames) {
        ASSERT_EQ(frame.picture.Width(), 322);
        ASSERT_EQ(frame.picture.Height(), 240);
        const std::vector<uint8_t> rgb = converter.ToRgb(frame.picture);
        ASSERT_EQ(rgb.size(), 322u * 240u * 3u);
        for (int x : {0, 23, 69, 115, 161, 207, 253, 299, 321}) {
            for (int y : {0, 80}) {
                const uint8_t* pixel = &rgb[(y * 322 + x) * 3];
                for (int channel = 0; channel < 3; ++channel)
                    EXPECT_NEAR(pixel[channel], bars[x * 7 / 322][channel] * 255, 40) << x << "," << y;
            }
        }
    }
}

TEST_F(Decoder, FrozenCameraEndsTheStreamAfterTheSocketTimeOut)
{
    ASSERT_NO_FATAL_FAILURE(StreamFrom({}, 1));
    camera.Pause();
    EXPECT_TRUE(recorder.WaitUntil(
        [&] { return !recorder.statuses.empty() && recorder.statuses.back().rfind("Stream read stopped: ", 0) == 0; }));
    camera.Resume();
}

TEST_F(Decoder, StopInterruptsABlockedRead)
{
    ASSERT_NO_FATAL_FAILURE(StreamFrom({}, 1));
    camera.Pause();
    std::this_thread::sleep_for(500ms);  // lets the decoder drain what arrived and block
    const auto stopBegin = Clock::now();
    decoder.Stop();
    EXPECT_LT(Clock::now() - stopBegin, 2500ms) << "Stop waited for the socket time-out";
    EXPECT_EQ(recorder.endings, 0) << "a stream that Stop() ended did not end by itself";
}

struct OpenFailureCase {
    std::string source;  // RefusedPort, SilentServer or AudioOnlyCamera
    const char* status;  // the beginning of the one status sent
};
class OpenFailure : public Decoder, public ::testing::WithParamInterface<OpenFailureCase> {};

TEST_P(OpenFailure, SendsOneStatusNoFrameAndEndsOnce)
{
    LoopbackPort port(GetParam().source == "SilentServer");
    TestCameraOptions audioOnly;
    audioOnly.audioOnly = true;
    ASSERT_TRUE(GetParam().source != "AudioOnlyCamera" || camera.Start(audioOnly));
    recorder.Start(decoder, camera.Url().empty() ? port.url : camera.Url());
    ASSERT_TRUE(recorder.WaitUntil([&] { return recorder.endings > 0; }));
    decoder.Stop();
    EXPECT_EQ(recorder.endings, 1);
    ASSERT_EQ(recorder.statuses.size(), 1u);
    EXPECT_EQ(recorder.statuses[0].rfind(GetParam().status, 0), 0u) << recorder.statuses[0];
    EXPECT_TRUE(recorder.frames.empty());
}

INSTANTIATE_TEST_SUITE_P(Sources, OpenFailure, ::testing::Values(
    OpenFailureCase{"RefusedPort", "Unable to open stream: "},
    OpenFailureCase{"SilentServer", "Unable to open stream: "},
    OpenFailureCase{"AudioOnlyCamera", "No video stream found in RTSP source."}),
    [](const auto& info) { return info.param.source; });
