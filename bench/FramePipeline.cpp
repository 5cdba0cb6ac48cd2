#include "FramePipeline.h"

#include "PreviewImage.h"

#include <opencv2/core.hpp>

#include <chrono>
#include <ctime>
#include <utility>

namespace {

double MillisecondsBetween(std::chrono::steady_clock::time_point from,
                           std::chrono::steady_clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace

FramePipeline::FramePipeline(const wxSize& previewTarget, std::size_t timingCapacity)
    : previewTarget(previewTarget), timingCapacity(timingCapacity)
{
    window.timings.reserve(timingCapacity);
}

FramePipeline::~FramePipeline()
{
    Stop();
}

void FramePipeline::Start(const std::string& url)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        framesSinceStart = 0;
        lastStatus.clear();
        haveDecoderThread = false;
    }
    decoder.Start(
        url,
        [this](std::vector<uint8_t> frame, int width, int height) {
            HandleDecodedFrame(std::move(frame), width, height);
        },
        [this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex);
            lastStatus = text;
        });
}

void FramePipeline::Stop()
{
    decoder.Stop();
    std::lock_guard<std::mutex> lock(mutex);
    haveDecoderThread = false;
}

long FramePipeline::FramesHandled()
{
    std::lock_guard<std::mutex> lock(mutex);
    return framesSinceStart;
}

std::string FramePipeline::LastStatus()
{
    std::lock_guard<std::mutex> lock(mutex);
    return lastStatus;
}

void FramePipeline::BeginWindow()
{
    std::lock_guard<std::mutex> lock(mutex);
    window.framesHandled = 0;
    window.motionFrames = 0;
    window.statusChanges = 0;
    window.timings.clear();
}

FramePipeline::Window FramePipeline::EndWindow()
{
    std::lock_guard<std::mutex> lock(mutex);
    return window;
}

double FramePipeline::DecoderThreadCpuSeconds()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!haveDecoderThread) {
        return -1.0;
    }
    // The thread is held (not yet joined) until Stop, so its id stays valid.
    clockid_t clock;
    timespec cpu{};
    if (pthread_getcpuclockid(decoderThread, &clock) != 0 || clock_gettime(clock, &cpu) != 0) {
        return -1.0;
    }
    return static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) / 1e9;
}

void FramePipeline::HandleDecodedFrame(std::vector<uint8_t> frame, int width, int height)
{
    const auto entered = std::chrono::steady_clock::now();

    cv::Mat image(height, width, CV_8UC3, frame.data());
    const bool motion = motionDetector.DetectAndAnnotate(image);
    const bool statusChanged = motion != motionActive;
    motionActive = motion;
    const auto detected = std::chrono::steady_clock::now();

    // UpdatePreview's work for the frame; in the window it runs on the GUI
    // thread, here on this one so that its cost is measured with the rest.
    if (width >= 1 && height >= 1) {
        shownPreview = ComposePreviewImage(frame, width, height, previewTarget);
    }
    const auto composed = std::chrono::steady_clock::now();

    std::lock_guard<std::mutex> lock(mutex);
    if (!haveDecoderThread) {
        decoderThread = pthread_self();
        haveDecoderThread = true;
    }
    ++framesSinceStart;
    ++window.framesHandled;
    window.motionFrames += motion ? 1 : 0;
    window.statusChanges += statusChanged ? 1 : 0;
    if (window.timings.size() < timingCapacity) {
        window.timings.push_back(FrameTiming{MillisecondsBetween(entered, detected),
                                             MillisecondsBetween(detected, composed),
                                             MillisecondsBetween(entered, composed)});
    }
}
