#pragma once

// The picture folder's one delivery thread. It holds the folder's lock (one
// instance delivers a folder), lists the folder tree, moves the waiting
// pictures along after a change of folder, writes held pictures to disk once
// it can, and sends the oldest waiting picture, paced and with backoff.

#include "DeliveryClock.h"
#include "PictureFolder.h"
#include "UniqueFd.h"
#include "WaitingQueue.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace pictures {

struct CourierFolder {
    std::string path;
    bool isDefault = false;
    bool keepDelivered = true;
};

class Courier {
public:
    // `status` as PictureEvents'; `folderRead` after this instance took over
    // a folder and listed it. Both are called on the courier's thread.
    Courier(WaitingQueue& queue, PictureSender send, std::function<void(const std::string&)> status,
            std::function<void()> folderRead, PictureTimings timings, std::shared_ptr<DeliveryClock> clock,
            CourierFolder folder);
    ~Courier();

    Courier(const Courier&) = delete;
    Courier& operator=(const Courier&) = delete;

    // Starts the thread; std::system_error when it cannot.
    void Start();
    // Any thread: cancels the send in flight (it stays waiting) and ends the
    // thread soon; Stop() then joins it.
    void RequestStop();
    void Stop();

    // Any thread.
    void Apply(CourierFolder folder);
    void SetDriveConnected(bool connected);
    bool IsDriveConnected() const { return connectedNow.load(); }
    // Something was added to the queue.
    void Wake() { clock->Wake(); }

private:
    using TimePoint = DeliveryClock::TimePoint;

    // What the other threads ask for, read once per step.
    struct Wanted {
        CourierFolder folder;
        bool connected = false;
        bool paused = false;
        bool resumeNow = false;
    };

    // A folder left by Apply: its lock is held until its waiting pictures
    // have all moved, so that no other instance sends them meanwhile.
    struct LeftBehind {
        std::string path;
        UniqueFd lock;
        std::set<std::string> lookUp;  // its look-up marks, StatePath
        TimePoint at{};
        bool reported = false;
    };

    void Loop();
    TimePoint Step();
    Wanted TakeWanted();
    void SwitchFolder(const CourierFolder& to);
    void TryTakeOver();
    bool CamerasMayHaveChanged();
    void Rescan(bool discoverCameras);
    void MoveLeftBehind();
    int MoveOne(const std::string& fromDir, const std::string& camera, const std::string& name);
    void WriteHeld();

    void SendOldest();
    DeliveryResult CallSender(const std::vector<uint8_t>& jpeg, const Parcel& parcel);
    void OnDelivered(const Parcel& parcel, const DeliveryResult& result);
    void OnNotDelivered(const Parcel& parcel, const DeliveryResult& result);
    void OnRefused(const Parcel& parcel, const DeliveryResult& result);
    void OnPaused(const Parcel& parcel, const DeliveryResult& result);
    void BackOff(TimePoint now);
    void ReportTrouble(DeliveryOutcome outcome, const std::string& text);
    void Status(const std::string& text);

    WaitingQueue& queue;
    const PictureSender send;
    const std::function<void(const std::string&)> status;
    const std::function<void()> folderRead;
    const PictureTimings timings;
    const std::shared_ptr<DeliveryClock> clock;

    mutable std::mutex mutex;  // guards `wanted`, `stopping`
    Wanted wanted;
    bool stopping = false;
    std::atomic<bool> connectedNow{false};
    std::atomic<bool> cancel{false};

    // The courier's thread only.
    CourierFolder folder;
    UniqueFd lock;  // <folder>/.lock
    bool holder = false;
    LeftBehind left;
    std::chrono::milliseconds backoff{0};
    TimePoint nextAttempt = TimePoint::min();
    TimePoint lastSend = TimePoint::min();
    TimePoint nextRescan = TimePoint::min();
    unsigned rescans = 0;
    uint64_t folderLinks = 0;  // the folder's link count at the last rescan
    bool troubleReported = false;  // this episode's failures were reported
    DeliveryOutcome lastTrouble = DeliveryOutcome::Delivered;

    std::thread thread;
};

}  // namespace pictures
