#pragma once

#include "MotionDetector.h"
#include "PictureSource.h"
#include "RtspStreamDecoder.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One camera stream as the core drives it; RtspStreamDecoder's contract: one
// thread per Start(), held (IsRunning() true) even after it ended by itself,
// until Stop() joins it. Callbacks run on that thread.
class StreamSource {
public:
    virtual ~StreamSource() = default;
    // Throws std::system_error when no thread can be created.
    virtual void Start(std::string url, FrameCallback onFrame, StatusCallback onStatus,
                       EndedCallback onEnded) = 0;
    virtual void Stop() = 0;
    virtual bool IsRunning() const = 0;
};

// The program's RtspStreamDecoder behind StreamSource.
std::unique_ptr<StreamSource> MakeRtspStreamSource();

// Delayed work on the controller thread.
class Scheduler {
public:
    using Handle = std::uint64_t;  // 0 names no call

    virtual ~Scheduler() = default;
    // Runs `call` once on the controller thread after `delay`.
    virtual Handle After(std::chrono::milliseconds delay, std::function<void()> call) = 0;
    // The call never runs once this returns; 0, finished and unknown handles
    // are ignored.
    virtual void Cancel(Handle handle) = 0;
};

// The controller thread's main loop runs the calls (GLib under wxGTK).
std::unique_ptr<Scheduler> MakeMainLoopScheduler();

// Something kept while the object lives: the idle-sleep lock, the
// registration for wake notifications.
class Holding {
public:
    virtual ~Holding() = default;
};

// Keeps the machine from idle sleep ("Orvanta stream monitoring"); null when
// nothing could be taken. Controller thread.
std::unique_ptr<Holding> TakeIdleSleepLock();
// Calls onWake on the controller thread's main loop each time the machine
// resumes from sleep, until the registration goes; null when the system bus
// cannot be reached.
std::unique_ptr<Holding> RegisterForWake(std::function<void()> onWake);

// Receives an annotated motion picture (at the frame's full size, read as a
// JPEG's planes, band by band, marked as it is read) and its name,
// motion_YYYYMMDD_HHMMSS.jpg in local time. Decoder thread: must not wait for
// the controller thread and should return soon.
using PictureHandOff =
    std::function<void(std::unique_ptr<pictures::PictureSource> picture, const std::string& name)>;

// Shows a desktop notification. A later one with the same non-empty
// replaceKey replaces the earlier one. Controller thread.
using Notifier = std::function<void(const std::string& summary, const std::string& body,
                                    const std::string& replaceKey)>;

// What the view shows of the core.
class MonitorObserver {
public:
    virtual ~MonitorObserver() = default;
    // Any thread, the decoder thread included: one status line, UTF-8. The
    // view queues it and shows the lines in the order of the calls.
    virtual void OnStatus(const std::string& text) = 0;
    // Decoder thread: the frame to preview, as decoded, and the motion found
    // in it, for the view to draw at the size it shows it. Must not block.
    virtual void OnFrame(VideoFrame frame, const MotionResult& motion) = 0;
};

// Everything the core talks to. Empty members that have a real counterpart
// get it; post is required.
struct MonitorDependencies {
    std::unique_ptr<Scheduler> scheduler;  // empty: the main loop's
    // Any thread: queues `call` onto the controller thread and returns at
    // once; may drop it once the view is gone.
    std::function<void(std::function<void()> call)> post;
    // Both clocks are read on the controller thread and the decoder thread,
    // at the same time.
    std::function<std::chrono::steady_clock::time_point()> steadyNow;
    std::function<std::chrono::system_clock::time_point()> wallNow;
    std::unique_ptr<StreamSource> source;
    std::function<std::unique_ptr<Holding>()> takeSleepLock;
    std::function<std::unique_ptr<Holding>(std::function<void()> onWake)> registerWake;
    Notifier notify;         // empty: no notifications
    PictureHandOff handOff;  // empty: pictures are not kept
};

// The monitor without its window: owns the stream's life, the sleep lock,
// reconnecting, the wake's restart, picture pacing and naming, and decides
// when to notify. The view shows what it reports and forwards the user's
// commands.
//
// Threading: every public operation belongs to the controller thread (the GUI
// thread) except where marked. Frames are analysed on the decoder thread,
// which never waits for the controller thread: what it decides is posted.
// Posted calls hold a token of the core's life and do nothing once the core
// is gone, so the post may run them late. The destructor stops and joins the
// stream and cancels every scheduled call.
class MonitorCore {
public:
    MonitorCore(std::string url, MonitorObserver& observer, MonitorDependencies dependencies);
    ~MonitorCore();

    MonitorCore(const MonitorCore&) = delete;
    MonitorCore& operator=(const MonitorCore&) = delete;

    // Starts a stream on the URL unless one is held; takes the sleep lock
    // and, the first time, registers for wake notifications.
    void StartStream();
    // Stops and joins the stream, cancels a waiting restart and releases the
    // sleep lock.
    void StopStream();
    // A changed URL restarts the stream at once with the first reconnect wait.
    void SetUrl(std::string url);
    const std::string& Url() const { return url; }

    // On: a stream that ended by itself is started again after 5 s, then 10,
    // 20, 40 and at most 60 s, and after 5 s again once it had streamed for a
    // minute. Off (the default): it stays ended until the next start.
    void SetReconnect(bool on);
    void SetNotificationsEnabled(bool on);
    // Any thread. No notification while the window is the active one; those
    // decided meanwhile are dropped.
    void SetWindowActive(bool active);

    // At exit: stops the stream and cancels every scheduled call; nothing
    // starts afterwards.
    void Shutdown();

private:
    // One decoder thread's worth of frame state. Reset by Launch() before the
    // thread starts, then touched only by that thread.
    struct RunState {
        std::uint64_t id = 0;
        bool delivering = false;
        bool motionActive = false;
        bool motionSeen = false;
        std::chrono::steady_clock::time_point lastMotionAt;
        std::string lastStatus;
    };

    void Launch();
    void OnSystemWake();
    void OnStreamDelivering(std::uint64_t runId);
    void OnStreamEnded(std::uint64_t runId, const std::string& lastStatus);
    void ScheduleRetry();
    void CancelRestarts();
    void HandleFrame(VideoFrame frame);
    // Decoder thread: the frame at full size as a JPEG's planes, marked, to the hand-off.
    void KeepPicture(const VideoFrame& frame, const MotionResult& motion, const std::string& name);
    // Any thread.
    void PostToController(std::function<void()> call);
    void Notify(const std::string& summary, const std::string& body, const std::string& key);

    MonitorObserver& observer;
    MonitorDependencies deps;
    std::string url;
    bool reconnect = false;
    bool notificationsEnabled = true;
    std::atomic<bool> windowActive{false};
    bool shutDown = false;

    std::unique_ptr<Holding> sleepLock;
    std::unique_ptr<Holding> wakeRegistration;
    // The run whose reports count; 0 while no stream is held.
    std::uint64_t currentRun = 0;
    std::uint64_t lastRunId = 0;
    // Reconnect off: the held stream has ended by itself.
    bool endedByItself = false;
    Scheduler::Handle retry = 0;
    Scheduler::Handle wakeRestart = 0;
    std::chrono::milliseconds retryWait;
    // When the current run began delivering frames.
    std::optional<std::chrono::steady_clock::time_point> deliveringSince;
    // Ends since frames last came or the user last started the stream.
    int outageEnds = 0;
    bool outageNotified = false;

    // Decoder thread only (threads follow one another: Stop joins before the
    // next Start).
    MotionDetector detector;
    JpegPlanesConverter pictureConverter;
    RunState run;
    std::optional<std::chrono::steady_clock::time_point> lastPictureAt;
    std::optional<std::chrono::steady_clock::time_point> lastMotionNotice;

    // Posted calls run only while this lives; destroyed first.
    std::shared_ptr<int> alive = std::make_shared<int>(0);
};
