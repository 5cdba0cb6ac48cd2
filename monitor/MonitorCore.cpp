#include "MonitorCore.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <system_error>

using namespace std::chrono_literals;

namespace {

constexpr std::chrono::milliseconds kFirstRetryWait = 5s;
constexpr std::chrono::milliseconds kLongestRetryWait = 60s;
// A stream that delivered this long counts as healthy: its next end starts
// the waits over.
constexpr auto kHealthyStreaming = 60s;
constexpr std::chrono::milliseconds kWakeRestartDelay = 5s;
constexpr auto kPictureInterval = 1s;
constexpr auto kQuietBeforeMotionNotice = 60s;
constexpr auto kMotionNoticeInterval = 60s;

const char kMotionKey[] = "motion";
const char kStreamKey[] = "stream";

// A motion picture as the encoder reads it: the frame's rows, a band at a
// time, marked. The rows that hold the label are read and marked together
// first, so that its anti-aliased strokes come out as on the whole picture;
// the rest is read straight from the frame. Made on the decoder thread, read
// on the picture folder's writer thread.
class MarkedFrame : public pictures::PictureSource {
public:
    MarkedFrame(JpegPlanes planes, MotionResult motion)
        : planes(std::move(planes)), motion(std::move(motion)),
          headRows(std::min(this->planes.Height(), (MotionLabelRows() + 1) / 2 * 2))
    {
    }

    int Width() const override { return planes.Width(); }
    int Height() const override { return planes.Height(); }

    bool Fill(const pictures::JpegBand& band) override
    {
        if (band.top % 2 != 0 || band.rows < 1 || band.top + band.rows > Height()) {
            return false;
        }
        const int fromHead = std::clamp(headRows - band.top, 0, band.rows);
        if (fromHead > 0 && !CopyFromHead(band, fromHead)) {
            return false;
        }
        const int top = band.top + fromHead;
        const int rows = band.rows - fromHead;
        if (rows == 0) {
            return true;
        }
        const std::ptrdiff_t chromaSkip = (top - band.top) / 2 * band.chromaStride;
        std::uint8_t* const luma = band.luma + fromHead * band.lumaStride;
        if (!planes.ReadRows(top, rows, luma, band.lumaStride, band.cb + chromaSkip, band.cr + chromaSkip,
                             band.chromaStride)) {
            return false;
        }
        DrawMotionOnJpegRows(motion, Width(), top, rows, luma, band.lumaStride, band.cb + chromaSkip,
                             band.cr + chromaSkip, band.chromaStride);
        return true;
    }

private:
    bool CopyFromHead(const pictures::JpegBand& band, int rows)
    {
        const int width = Width();
        const int chromaWidth = (width + 1) / 2;
        if (head.empty()) {
            const int chromaRows = (headRows + 1) / 2;
            head.resize(static_cast<std::size_t>(width) * headRows +
                        2 * static_cast<std::size_t>(chromaWidth) * chromaRows);
            std::uint8_t* const cb = head.data() + static_cast<std::size_t>(width) * headRows;
            std::uint8_t* const cr = cb + static_cast<std::size_t>(chromaWidth) * chromaRows;
            if (!planes.ReadRows(0, headRows, head.data(), width, cb, cr, chromaWidth)) {
                return false;
            }
            DrawMotionOnJpegRows(motion, width, 0, headRows, head.data(), width, cb, cr, chromaWidth);
        }
        const std::uint8_t* const cbHead = head.data() + static_cast<std::size_t>(width) * headRows;
        const std::uint8_t* const crHead = cbHead + static_cast<std::size_t>(chromaWidth) * ((headRows + 1) / 2);
        for (int y = 0; y < rows; ++y) {
            std::memcpy(band.luma + y * band.lumaStride, head.data() + static_cast<std::size_t>(band.top + y) * width,
                        static_cast<std::size_t>(width));
        }
        for (int y = band.top / 2; y < (band.top + rows + 1) / 2; ++y) {
            const std::ptrdiff_t to = (y - band.top / 2) * band.chromaStride;
            std::memcpy(band.cb + to, cbHead + static_cast<std::size_t>(y) * chromaWidth,
                        static_cast<std::size_t>(chromaWidth));
            std::memcpy(band.cr + to, crHead + static_cast<std::size_t>(y) * chromaWidth,
                        static_cast<std::size_t>(chromaWidth));
        }
        return true;
    }

    JpegPlanes planes;
    MotionResult motion;
    const int headRows;
    std::vector<std::uint8_t> head;  // the top headRows rows, marked; made on first use
};

std::string LocalTime(std::chrono::system_clock::time_point when, const char* format)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&seconds, &local);  // the decoder thread must not share localtime's buffer
    char text[64] = {};
    std::strftime(text, sizeof text, format, &local);
    return text;
}

}  // namespace

MonitorCore::MonitorCore(std::string url, MonitorObserver& observer, MonitorDependencies dependencies)
    : observer(observer), deps(std::move(dependencies)), url(std::move(url)),
      retryWait(kFirstRetryWait)
{
    if (!deps.post) {
        throw std::invalid_argument("MonitorCore needs a post");
    }
    if (!deps.scheduler) {
        deps.scheduler = MakeMainLoopScheduler();
    }
    if (!deps.steadyNow) {
        deps.steadyNow = std::chrono::steady_clock::now;
    }
    if (!deps.wallNow) {
        deps.wallNow = std::chrono::system_clock::now;
    }
    if (!deps.source) {
        deps.source = MakeRtspStreamSource();
    }
    if (!deps.takeSleepLock) {
        deps.takeSleepLock = TakeIdleSleepLock;
    }
    if (!deps.registerWake) {
        deps.registerWake = RegisterForWake;
    }
}

MonitorCore::~MonitorCore()
{
    Shutdown();
}

void MonitorCore::Shutdown()
{
    shutDown = true;
    StopStream();
    wakeRegistration.reset();
}

void MonitorCore::StartStream()
{
    if (shutDown || deps.source->IsRunning()) {
        return;
    }
    retryWait = kFirstRetryWait;
    outageEnds = 0;
    Launch();
}

void MonitorCore::StopStream()
{
    CancelRestarts();
    deps.source->Stop();
    currentRun = 0;
    endedByItself = false;
    sleepLock.reset();
}

void MonitorCore::SetUrl(std::string newUrl)
{
    if (newUrl == url) {
        return;
    }
    url = std::move(newUrl);
    observer.OnStatus("Applying new RTSP URL...");
    StopStream();
    StartStream();
}

void MonitorCore::SetReconnect(bool on)
{
    if (on == reconnect) {
        return;
    }
    reconnect = on;
    if (!on && retry != 0) {
        StopStream();
        observer.OnStatus("Stream stopped.");
    } else if (on && endedByItself) {
        deps.source->Stop();
        currentRun = 0;
        endedByItself = false;
        ScheduleRetry();
    }
}

void MonitorCore::SetNotificationsEnabled(bool on)
{
    notificationsEnabled = on;
}

void MonitorCore::SetWindowActive(bool active)
{
    windowActive = active;
}

void MonitorCore::Launch()
{
    // Reached only while no stream is held: a restart waits only then, and
    // StartStream checks.
    CancelRestarts();
    if (url.empty()) {
        observer.OnStatus("No RTSP URL configured. Open Settings\u2026 to set one.");
        return;
    }
    // Held from the first start until the user's or the wake's stop, across
    // every retry: never a second one.
    if (!sleepLock) {
        sleepLock = deps.takeSleepLock();
    }
    if (!wakeRegistration) {
        wakeRegistration = deps.registerWake([this] { PostToController([this] { OnSystemWake(); }); });
    }
    observer.OnStatus("Connecting to RTSP stream...");

    currentRun = ++lastRunId;
    deliveringSince.reset();
    run = RunState();
    run.id = currentRun;
    // The decoder thread is joined before the core goes, so the callbacks
    // may hold `this`.
    try {
        deps.source->Start(
            url,
            [this](VideoFrame frame) { HandleFrame(std::move(frame)); },
            [this](const std::string& text) {
                run.lastStatus = text;
                observer.OnStatus(text);
            },
            [this] {
                PostToController([this, id = run.id, text = run.lastStatus] { OnStreamEnded(id, text); });
            });
    } catch (const std::system_error&) {
        // No thread or address space left: nothing streams, so nothing may
        // keep the computer awake; a later URL change or wake tries again.
        currentRun = 0;
        sleepLock.reset();
        observer.OnStatus("Could not start the stream: no thread could be created");
    }
}

void MonitorCore::OnSystemWake()
{
    observer.OnStatus("Woke from sleep \u2014 reconnecting...");
    StopStream();
    wakeRestart = deps.scheduler->After(kWakeRestartDelay, [this] {
        wakeRestart = 0;
        StartStream();
    });
}

void MonitorCore::OnStreamDelivering(std::uint64_t runId)
{
    if (runId != currentRun) {
        return;
    }
    deliveringSince = deps.steadyNow();
    outageEnds = 0;
    if (outageNotified) {
        outageNotified = false;
        Notify("Stream is back", "Receiving frames again.", kStreamKey);
    }
}

void MonitorCore::OnStreamEnded(std::uint64_t runId, const std::string& lastStatus)
{
    if (runId != currentRun) {
        return;
    }
    ++outageEnds;
    // With reconnecting, the first end may be a blip that the first retry
    // mends; only a failed retry is worth the user's attention.
    if (!outageNotified && (!reconnect || outageEnds >= 2)) {
        outageNotified = true;
        Notify("Stream stopped", lastStatus.empty() ? "The camera's stream ended." : lastStatus,
               kStreamKey);
    }
    if (!reconnect) {
        // As without reconnecting ever: the ended stream stays held, and so
        // does the sleep lock, until the next stop.
        endedByItself = true;
        return;
    }
    if (deliveringSince && deps.steadyNow() - *deliveringSince >= kHealthyStreaming) {
        retryWait = kFirstRetryWait;
    }
    // The thread has ended: this join is short.
    deps.source->Stop();
    currentRun = 0;
    ScheduleRetry();
}

void MonitorCore::ScheduleRetry()
{
    const std::chrono::milliseconds wait = retryWait;
    retryWait = std::min(retryWait * 2, kLongestRetryWait);
    observer.OnStatus("Stream stopped \u2014 reconnecting in "
                      + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(wait).count())
                      + " s...");
    retry = deps.scheduler->After(wait, [this] {
        retry = 0;
        Launch();
    });
}

void MonitorCore::CancelRestarts()
{
    deps.scheduler->Cancel(retry);
    deps.scheduler->Cancel(wakeRestart);
    retry = 0;
    wakeRestart = 0;
}

void MonitorCore::HandleFrame(VideoFrame frame)
{
    const auto now = deps.steadyNow();
    if (!run.delivering) {
        run.delivering = true;
        PostToController([this, id = run.id] { OnStreamDelivering(id); });
    }

    const MotionResult motion = detector.Detect(
        LumaPlane{frame.Luma(), frame.LumaStride(), frame.Width(), frame.Height(), frame.IsLimitedRange()});
    if (motion.motion != run.motionActive) {
        run.motionActive = motion.motion;
        observer.OnStatus(motion.motion ? "Motion detected in stream." : "Receiving frames.");
    }

    if (motion.motion) {
        const bool quietBefore = !run.motionSeen || now - run.lastMotionAt >= kQuietBeforeMotionNotice;
        if (quietBefore && (!lastMotionNotice || now - *lastMotionNotice >= kMotionNoticeInterval)) {
            lastMotionNotice = now;
            PostToController([this, body = "at " + LocalTime(deps.wallNow(), "%H:%M:%S")] {
                Notify("Motion detected", body, kMotionKey);
            });
        }
        run.motionSeen = true;
        run.lastMotionAt = now;

        if (!lastPictureAt || now - *lastPictureAt >= kPictureInterval) {
            lastPictureAt = now;
            if (deps.handOff) {
                KeepPicture(frame, motion, LocalTime(deps.wallNow(), "motion_%Y%m%d_%H%M%S.jpg"));
            }
        }
    }
    observer.OnFrame(std::move(frame), motion);
}

void MonitorCore::KeepPicture(const VideoFrame& frame, const MotionResult& motion, const std::string& name)
{
    // The picture holds the frame (a 4:2:0 frame by reference) until it is
    // encoded, band by band: no full-size copy is made.
    JpegPlanes planes = pictureConverter.Convert(frame);
    if (planes.IsEmpty()) {
        return;
    }
    deps.handOff(std::make_unique<MarkedFrame>(std::move(planes), motion), name);
}

void MonitorCore::PostToController(std::function<void()> call)
{
    deps.post([token = std::weak_ptr<int>(alive), call = std::move(call)] {
        // The core is destroyed on the controller thread, where this runs.
        if (!token.expired()) {
            call();
        }
    });
}

void MonitorCore::Notify(const std::string& summary, const std::string& body, const std::string& key)
{
    if (shutDown || !notificationsEnabled || windowActive || !deps.notify) {
        return;
    }
    deps.notify(summary, body, key);
}
