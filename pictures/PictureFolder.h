#pragma once

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
    std::string folder;  // absolute path; only this last component is ever created
    uint64_t capBytes = uint64_t{2048} * 1024 * 1024;
    // False: a picture is removed once Drive holds it (from then on).
    bool keepDelivered = true;

    // The desktop's pictures folder (XDG user directory PICTURES, ~/Pictures
    // where none is set) + "/Orvanta".
    static std::string DefaultFolder();
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
// motion_YYYYMMDD_HHMMSS.jpg). With `lookUpFirst`, Drive is asked first
// whether it already holds this very picture. Blocking; called on the
// delivery thread only. Must return soon after `cancel` becomes true.
using PictureSender = std::function<DeliveryResult(
    const std::vector<uint8_t>& jpeg, const std::string& driveName, bool lookUpFirst,
    const std::atomic<bool>& cancel)>;

// Reports from the folder's own threads (writer, delivery). They must not
// block: the window queues them onto the GUI thread.
struct PictureEvents {
    std::function<void(const std::string& text)> status;    // one status line, UTF-8
    std::function<void(std::size_t waiting)> waitingChanged;  // pictures waiting for Drive
};

struct PictureTimings {
    std::chrono::milliseconds firstRetry{2000};     // backoff after a failure, doubling
    std::chrono::milliseconds longestRetry{300000};  // up to this
    std::chrono::milliseconds minInterval{250};     // catching up: at most 4 a second
    std::chrono::milliseconds stopWithin{2000};     // destruction joins within this
    // How often pending/ is read again (pictures another instance wrote) and
    // an instance that does not deliver tries to take over.
    std::chrono::milliseconds rescan{3000};
};

// The picture folder and its delivery to Drive: a writer thread that encodes
// and keeps each picture (JPEG, quality 85; temporary name, fsync, rename),
// and a delivery thread that sends waiting pictures oldest first, with
// backoff, exactly once. What waits is recorded on disk, so a restart resumes
// where it stopped. Knows nothing of windows or of Drive's protocol.
class PictureFolder {
public:
    // Starts both threads; std::system_error when they cannot be started.
    PictureFolder(PictureSettings settings, PictureSender send, PictureEvents events,
                  PictureTimings timings = PictureTimings());
    // Ends and joins both threads within timings.stopWithin; a picture in
    // flight stays waiting.
    ~PictureFolder();

    PictureFolder(const PictureFolder&) = delete;
    PictureFolder& operator=(const PictureFolder&) = delete;

    // Decoder thread; never touches the disk and never blocks for long. The
    // RGB frame (width * height * 3 bytes) is queued for the writer; beyond 8
    // queued the oldest is dropped and counted. `name` is the 26-character
    // motion_YYYYMMDD_HHMMSS.jpg of the moment it was taken. `waitsForDrive`:
    // deliver it to Drive; otherwise it is only kept.
    void Keep(std::vector<uint8_t> rgb, int width, int height, std::string name,
              bool waitsForDrive);

    // Any thread. True while Drive is connected: the delivery sends only then.
    void SetDriveConnected(bool connected);

    // GUI thread. A new folder moves the waiting pictures there.
    void Apply(PictureSettings settings);

    PictureSettings Settings() const;
    std::size_t WaitingCount() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};
