#pragma once

// The pictures of one folder tree as the delivery and the cap see them, the
// pictures held in memory because they could not be written, and the folder's
// state file. No thread of its own: the writer and the courier call it.
//
// Its lock guards copies only. The state file's journal has a lock of its
// own, taken while the first is still held and kept across the journal's
// writes (lock order: the queue's lock, then the journal's), so that the
// journal's lines follow the order of the changes.

#include "PictureCap.h"
#include "StateFile.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace pictures {

// A picture that could not be written, held for Drive.
struct HeldPicture {
    uint64_t id = 0;
    std::string camera;
    std::string name;  // its base name
    timespec taken{};
    std::shared_ptr<const std::vector<uint8_t>> jpeg;
    bool lookUpFirst = false;
};

// A picture on its way to Drive.
struct Parcel {
    KeptPicture picture;  // kind Waiting; a held one's file has its base name and no bytes
    uint64_t heldId = 0;  // non-zero: held in memory, not on disk
    std::shared_ptr<const std::vector<uint8_t>> jpeg;  // a held one's JPEG
    bool lookUpFirst = false;
};

// What one listing of a folder tree found.
struct FolderListing {
    std::vector<KeptPicture> pictures;  // kept ones as KeptOnly until the marks tell
    std::vector<std::string> cameras;
};

class WaitingQueue {
public:
    static constexpr std::size_t kMostHeld = 300;
    static constexpr uint64_t kMostHeldBytes = uint64_t{64} * 1024 * 1024;

    // `waitingChanged` gets the count of waiting pictures, on disk and held,
    // from ReportCount; it must not block.
    explicit WaitingQueue(std::function<void(std::size_t waiting)> waitingChanged);

    WaitingQueue(const WaitingQueue&) = delete;
    WaitingQueue& operator=(const WaitingQueue&) = delete;

    // ---- Any thread.
    std::size_t WaitingCount() const { return waitingCount.load(); }
    std::size_t HeldCount() const;
    // Calls waitingChanged when the count changed since its last call; the
    // last call always carries the last count.
    void ReportCount();

    // ---- The writer's thread.
    // A picture it has just written into `folder` (ignored when the folder
    // is not the one the queue lists).
    void AddWritten(const std::string& folder, KeptPicture picture);
    // Holds a picture that could not be written. Beyond kMostHeld pictures or
    // kMostHeldBytes the oldest held ones go (never the one in flight): their
    // names are returned.
    std::vector<std::string> Hold(std::string camera, std::string name, std::vector<uint8_t> jpeg);
    // The pictures to remove to bring the folder within `capBytes`, gone
    // from the queue already; none unless this instance delivers `folder`.
    // Neither the one in flight nor `sparedPath` (a FolderPath) is among them.
    std::vector<KeptPicture> TakeOverCap(const std::string& folder, uint64_t capBytes,
                                         const std::string& sparedPath);
    // The cap removed it (or found it gone).
    void Removed(const std::string& folder, const KeptPicture& picture);
    // The cap could not remove it: it stays.
    void PutBack(const std::string& folder, const KeptPicture& picture);

    // ---- The courier's thread.
    // Lists `folder` from now on, knowing nothing of it yet.
    void SwitchTo(const std::string& folder);
    // Orders listings against the writer's additions: what the writer added
    // after Seq() stays whatever a listing begun then says.
    uint64_t Seq() const;
    // This instance now delivers `folder`: everything in it, with its state
    // file. The oldest waiting picture gets a look-up mark: it may have been
    // in flight when the last instance that delivered stopped.
    void TakeOver(const std::string& folder, FolderListing listing, uint64_t seqAtStart, StateFile journal,
                  const DeliveryMarks& marks);
    // A listing of the pending/ folders of `cameras` (and of the base) begun
    // at seqAtStart: waiting pictures found, those gone, look-up marks others
    // recorded.
    void Merge(const std::string& folder, const std::vector<KeptPicture>& waiting, uint64_t seqAtStart,
               const std::vector<std::string>& cameras, const std::vector<std::string>& newLookUps);
    std::vector<std::string> Cameras() const;
    std::set<std::string> LookUpMarks() const;
    std::vector<std::string> NewLookUps();
    // Rewrites the state file when its journal has grown enough, or now.
    void CompactIfDue(bool now = false);

    // Whether Next would find one: a held picture, or with `fromDisk` one
    // waiting on disk that was not set aside.
    bool HasSendable(bool fromDisk) const;
    // The oldest of them, now in flight until one of the calls below.
    std::optional<Parcel> Next(bool fromDisk);
    // Drive holds it; `keptAs` is where it now lies in its camera's folder
    // (none: removed, or held and never written).
    void Delivered(const Parcel& parcel, const std::optional<PictureFile>& keptAs);
    // Drive refuses it; `keptAs` as above. Not kept and on disk: set aside.
    void Refused(const Parcel& parcel, const std::optional<PictureFile>& keptAs);
    // It may be in Drive: looked up before it is sent again.
    void MarkLookUp(const Parcel& parcel);
    void Release(const Parcel& parcel);   // stays waiting as it was
    void SetAside(const Parcel& parcel);  // cannot be read: not tried again in this folder
    void Forget(const Parcel& parcel);    // removed by hand

    std::optional<HeldPicture> OldestHeld() const;
    // A held picture is now written into `folder` (its look-up mark, if any,
    // recorded by PlaceWithLookUp).
    void HeldWritten(uint64_t id, const std::string& folder, KeptPicture written);

private:
    using Lock = std::unique_lock<std::mutex>;

    void Insert(KeptPicture picture);
    bool Erase(const std::string& path);
    void Record(Lock& lock, const MarkChanges& changes);
    void EraseHeld(uint64_t id);
    // The delivery is done with the parcel; true when it was a held picture
    // (now gone).
    bool EndInFlight(const Parcel& parcel);
    // The parcel's picture has left the waiting folder: out of the index, its
    // look-up mark dropped (the change to record returned).
    MarkChanges LeaveWaiting(const Parcel& parcel);
    void CountLocked() { waitingCount = waitingOnDisk + held.size(); }
    KeptPictures::const_iterator FirstWaiting() const;
    DeliveryMarks MarksLocked() const;

    const std::function<void(std::size_t)> waitingChanged;

    mutable std::mutex mutex;
    std::string folder;
    bool holder = false;  // this instance delivers `folder`: everything in it is listed
    KeptPictures kept;
    std::map<std::string, KeptPictures::iterator> byPath;  // FolderPath
    uint64_t totalBytes = 0;
    std::size_t waitingOnDisk = 0;
    std::set<std::string> cameras;
    std::set<std::string> lookUp;    // StatePath of waiting pictures
    std::set<std::string> skipped;   // FolderPath, set aside
    std::set<std::string> removing;  // FolderPath, the cap is removing them
    std::string inFlightPath;
    uint64_t inFlightHeld = 0;
    uint64_t seq = 0;
    std::deque<HeldPicture> held;
    uint64_t heldBytes = 0;
    uint64_t lastHeldId = 0;
    std::atomic<std::size_t> waitingCount{0};

    std::mutex journalMutex;
    StateFile journal;  // of `folder` while holder; guarded by journalMutex

    std::mutex reportMutex;
    std::size_t reported = std::numeric_limits<std::size_t>::max();
};

}  // namespace pictures
