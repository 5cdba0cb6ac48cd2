#include "MonitorCore.h"

#include <algorithm>
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
    // The only full-size copy of a frame made, in the planes the JPEG encoder
    // takes; the hand-off takes it over.
    std::vector<uint8_t> planes = pictureConverter.Convert(frame);
    if (planes.empty()) {
        return;
    }
    DrawMotionOnJpegPlanes(planes, frame.Width(), frame.Height(), motion);
    deps.handOff(std::move(planes), frame.Width(), frame.Height(), name);
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
