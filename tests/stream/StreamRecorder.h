#pragma once

#include "RtspStreamDecoder.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct RecordedFrame {
    std::vector<uint8_t> rgb;
    int width = 0;
    int height = 0;
    std::chrono::steady_clock::time_point arrival;
    // How many status lines had arrived when this frame did.
    std::size_t statusesBefore = 0;
};

// Collects what a decoder reports, from the decoder thread, for a test thread
// that waits on it with bounded time-outs.
class StreamRecorder {
public:
    struct Sinks {
        FrameCallback onFrame;
        StatusCallback onStatus;
    };

    // Callbacks for one RtspStreamDecoder::Start. The frame callback keeps the
    // decoder thread for frameHold before returning, to model slow frame
    // handling. Both share a token that tells when the decoder has dropped
    // them, that is, when its thread body has ended.
    Sinks Attach(std::chrono::milliseconds frameHold = std::chrono::milliseconds(0));

    bool WaitForStatuses(std::size_t count, std::chrono::milliseconds timeout);
    bool WaitForFrames(std::size_t count, std::chrono::milliseconds timeout);
    // True once the callbacks of the last Attach have been released.
    bool WaitForRelease(std::chrono::milliseconds timeout);
    bool Released();

    std::vector<std::string> Statuses();
    std::vector<RecordedFrame> Frames();
    std::size_t FrameCount();

private:
    class ReleaseNotice;

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> statuses;
    std::vector<RecordedFrame> frames;
    bool released = true;
};
