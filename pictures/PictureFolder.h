#pragma once

#include "DeliveryClock.h"
#include "PictureSource.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Where motion pictures are kept, and how much of them.
struct PictureSettings {
    // Absolute path. Of a chosen folder only this last component is ever
    // created; the default one is made as the desktop makes it.
    std::string folder;
    uint64_t capBytes = uint64_t{2048} * 1024 * 1024;  // the whole folder, every camera's
    // False: a picture is removed once Drive holds it (from then on).
    bool keepDelivered = true;

    // The desktop's pictures folder (XDG user directory PICTURES, ~/Pictures
    // where none is set) + "/Orvanta".
    static std::string DefaultFolder();
    // An empty folder or DefaultFolder().
    bool IsDefaultFolder() const;
};

// What one delivery attempt came to. The sender decides; the folder acts.
enum class DeliveryOutcome {
    Delivered,      // Drive holds the picture (sent now, or found by the look-up)
    NotSent,        // certainly not stored: try again after the backoff
    Unknown,        // may be stored: look it up before sending it again
    Refused,        // Drive refuses this picture itself: set it aside, go on
    DriveFull,      // Drive's storage quota is exceeded: wait and try again
    NotAuthorized,  // no usable authorization: wait until Drive is connected again
    Cancelled,      // the delivery is stopping; the picture stays waiting
};

struct DeliveryResult {
    DeliveryOutcome outcome = DeliveryOutcome::NotSent;
    std::string message;  // UTF-8, for the status line; may be empty
};

// Sends one JPEG to Drive under `driveName` (always the 26-character
// motion_YYYYMMDD_HHMMSS.jpg), into the camera's Drive folder (`camera` as
// given to Keep; empty: the base folder). With `lookUpFirst`, Drive is asked
// first whether it already holds this very picture. Blocking; called on the
// delivery thread only. Must return soon after `cancel` becomes true.
using PictureSender = std::function<DeliveryResult(
    const std::vector<uint8_t>& jpeg, const std::string& driveName, const std::string& camera,
    bool lookUpFirst, const std::atomic<bool>& cancel)>;

// Reports from the folder's own threads (writer, delivery). They must not
// block: the window queues them onto the GUI thread.
struct PictureEvents {
    std::function<void(const std::string& text)> status;      // one status line, UTF-8
    std::function<void(std::size_t waiting)> waitingChanged;  // waiting for Drive, on disk and in memory
    // A picture Keep was given has entered the delivery: it waits in a
    // pending/ folder, or in memory when it could not be written. Called once
    // per picture, with Keep's name and camera, and for no other.
    std::function<void(const std::string& name, const std::string& camera)> delivering;
};

struct PictureTimings {
    std::chrono::milliseconds firstRetry{2000};      // backoff after a failure, doubling
    std::chrono::milliseconds longestRetry{300000};  // up to this
    std::chrono::milliseconds minInterval{250};      // catching up: at most 4 a second
    std::chrono::milliseconds stopWithin{2000};      // destruction joins within this
    // How often the pending/ folders are read again (pictures another
    // instance wrote), an instance that does not deliver tries to take over,
    // and pictures held in memory are tried on disk again.
    std::chrono::milliseconds rescan{3000};
};

// The picture folder and its delivery to Drive. A writer thread encodes and
// keeps each picture (JPEG, quality 85; temporary name, fsync, rename) in its
// camera's folder; a delivery thread sends waiting pictures oldest first,
// with backoff, exactly once. What waits is recorded on disk, so a restart
// resumes where it stopped; a picture that cannot be written while Drive is
// connected waits in memory instead (bounded) and still goes. Knows nothing
// of windows or of Drive's protocol.
class PictureFolder {
public:
    // Starts both threads; std::system_error when they cannot be started.
    // `clock` (empty: the steady clock) paces the delivery.
    PictureFolder(PictureSettings settings, PictureSender send, PictureEvents events,
                  PictureTimings timings = PictureTimings(), std::shared_ptr<DeliveryClock> clock = nullptr);
    // Ends and joins both threads within timings.stopWithin; a picture in
    // flight stays waiting. Pictures held only in memory are lost: their
    // count goes to standard error.
    ~PictureFolder();

    PictureFolder(const PictureFolder&) = delete;
    PictureFolder& operator=(const PictureFolder&) = delete;

    // Decoder thread; never touches the disk and never blocks for long. The
    // picture is queued for the writer, which encodes it; beyond 8 queued the
    // oldest is dropped and counted. `name` is the 26-character
    // motion_YYYYMMDD_HHMMSS.jpg of the moment it was taken. `camera` is the
    // camera's subfolder (one plain path component), empty for the base
    // folder; the picture stays routed there whatever happens to the camera.
    // `waitsForDrive`: deliver it to Drive; otherwise it is only kept.
    void Keep(std::unique_ptr<pictures::PictureSource> picture, std::string name, std::string camera,
              bool waitsForDrive);

    // Any thread. True while Drive is connected: the delivery sends only then.
    void SetDriveConnected(bool connected);

    // GUI thread. A new folder moves the waiting pictures of every camera there.
    void Apply(PictureSettings settings);

    PictureSettings Settings() const;
    std::size_t WaitingCount() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};
