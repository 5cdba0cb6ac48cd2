#include "StreamRecorder.h"

#include <memory>
#include <thread>

class StreamRecorder::ReleaseNotice {
public:
    explicit ReleaseNotice(StreamRecorder& owner) : recorder(owner) {}
    ~ReleaseNotice()
    {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        recorder.released = true;
        recorder.changed.notify_all();
    }
    ReleaseNotice(const ReleaseNotice&) = delete;
    ReleaseNotice& operator=(const ReleaseNotice&) = delete;

private:
    StreamRecorder& recorder;
};

StreamRecorder::Sinks StreamRecorder::Attach(std::chrono::milliseconds frameHold)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = false;
    }
    auto token = std::make_shared<ReleaseNotice>(*this);
    Sinks sinks;
    sinks.onFrame = [this, token, frameHold](std::vector<uint8_t> rgb, int width, int height) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            RecordedFrame frame;
            frame.rgb = std::move(rgb);
            frame.width = width;
            frame.height = height;
            frame.arrival = std::chrono::steady_clock::now();
            frame.statusesBefore = statuses.size();
            frames.push_back(std::move(frame));
            changed.notify_all();
        }
        if (frameHold.count() > 0) {
            std::this_thread::sleep_for(frameHold);
        }
    };
    sinks.onStatus = [this, token](const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        statuses.push_back(text);
        changed.notify_all();
    };
    return sinks;
}

bool StreamRecorder::WaitForStatuses(std::size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return statuses.size() >= count; });
}

bool StreamRecorder::WaitForFrames(std::size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return frames.size() >= count; });
}

bool StreamRecorder::WaitForRelease(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return released; });
}

bool StreamRecorder::Released()
{
    std::lock_guard<std::mutex> lock(mutex);
    return released;
}

std::vector<std::string> StreamRecorder::Statuses()
{
    std::lock_guard<std::mutex> lock(mutex);
    return statuses;
}

std::vector<RecordedFrame> StreamRecorder::Frames()
{
    std::lock_guard<std::mutex> lock(mutex);
    return frames;
}

std::size_t StreamRecorder::FrameCount()
{
    std::lock_guard<std::mutex> lock(mutex);
    return frames.size();
}
