#include "WaitingQueue.h"

#include <algorithm>
#include <utility>

namespace pictures {

WaitingQueue::WaitingQueue(std::function<void(std::size_t)> changed) : waitingChanged(std::move(changed))
{
}

std::size_t WaitingQueue::HeldCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return held.size();
}

void WaitingQueue::ReportCount()
{
    std::lock_guard<std::mutex> lock(reportMutex);
    const std::size_t count = waitingCount.load();
    if (count == reported)
        return;
    reported = count;
    try {
        if (waitingChanged)
            waitingChanged(count);
    } catch (...) {
        // A report that failed must not end the thread that made it.
    }
}

void WaitingQueue::Insert(KeptPicture picture)
{
    const std::string path = FolderPath(picture);
    if (byPath.count(path))
        return;
    totalBytes += picture.file.bytes;
    waitingOnDisk += picture.kind == PictureKind::Waiting;
    if (!picture.camera.empty())
        cameras.insert(picture.camera);
    byPath.emplace(path, kept.insert(std::move(picture)).first);
    CountLocked();
}

bool WaitingQueue::Erase(const std::string& path)
{
    const auto found = byPath.find(path);
    if (found == byPath.end())
        return false;
    totalBytes -= std::min(totalBytes, found->second->file.bytes);
    waitingOnDisk -= found->second->kind == PictureKind::Waiting;
    kept.erase(found->second);
    byPath.erase(found);
    CountLocked();
    return true;
}

void WaitingQueue::Record(Lock& lock, const MarkChanges& changes)
{
    if (changes.empty() || !holder) {
        lock.unlock();
        return;
    }
    std::lock_guard<std::mutex> journalLock(journalMutex);
    lock.unlock();
    // A change that cannot be written still holds while this instance runs.
    journal.Append(changes);
}

KeptPictures::const_iterator WaitingQueue::FirstWaiting() const
{
    KeptPicture first;
    first.kind = PictureKind::Waiting;
    first.file.modified = timespec{std::numeric_limits<time_t>::min(), 0};
    return kept.lower_bound(first);
}

DeliveryMarks WaitingQueue::MarksLocked() const
{
    DeliveryMarks marks;
    for (auto picture = kept.begin(); picture != kept.end() && picture->kind == PictureKind::Delivered; ++picture)
        marks.delivered.insert(StatePath(picture->camera, picture->file.name));
    for (auto picture = FirstWaiting(); picture != kept.end(); ++picture) {
        const std::string path = StatePath(picture->camera, picture->file.name);
        if (lookUp.count(path))
            marks.lookUp.insert(path);
    }
    return marks;
}

// ---- The writer's thread

void WaitingQueue::AddWritten(const std::string& written, KeptPicture picture)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (written != folder || (!holder && picture.kind != PictureKind::Waiting))
        return;
    picture.addedSeq = ++seq;
    Insert(std::move(picture));
}

std::vector<std::string> WaitingQueue::Hold(std::string camera, std::string name, std::vector<uint8_t> jpeg)
{
    HeldPicture picture;
    clock_gettime(CLOCK_REALTIME, &picture.taken);
    picture.camera = std::move(camera);
    picture.name = std::move(name);
    picture.jpeg = std::make_shared<const std::vector<uint8_t>>(std::move(jpeg));
    std::vector<std::string> dropped;
    std::lock_guard<std::mutex> lock(mutex);
    picture.id = ++lastHeldId;
    heldBytes += picture.jpeg->size();
    held.push_back(std::move(picture));
    while (held.size() > kMostHeld || heldBytes > kMostHeldBytes) {
        const auto oldest = held.front().id == inFlightHeld ? std::next(held.begin()) : held.begin();
        if (oldest == held.end())
            break;
        dropped.push_back(oldest->name);
        heldBytes -= oldest->jpeg->size();
        held.erase(oldest);
    }
    CountLocked();
    return dropped;
}

std::vector<KeptPicture> WaitingQueue::TakeOverCap(const std::string& capped, uint64_t capBytes,
                                                   const std::string& sparedPath)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!holder || capped != folder || totalBytes <= capBytes)
        return {};
    std::vector<KeptPicture> over =
        PicturesOverCap(kept, totalBytes, capBytes, [&](const KeptPicture& picture) {
            const std::string path = FolderPath(picture);
            return path == sparedPath || path == inFlightPath;
        });
    for (const KeptPicture& picture : over) {
        const std::string path = FolderPath(picture);
        removing.insert(path);
        Erase(path);
    }
    return over;
}

void WaitingQueue::Removed(const std::string& capped, const KeptPicture& picture)
{
    Lock lock(mutex);
    removing.erase(FolderPath(picture));
    MarkChanges changes;
    const std::string path = StatePath(picture.camera, picture.file.name);
    if (capped == folder && picture.kind == PictureKind::Delivered)
        changes.emplace_back(MarkChange::Forgotten, path);
    if (capped == folder && picture.kind == PictureKind::Waiting && lookUp.erase(path))
        changes.emplace_back(MarkChange::LookedUp, path);
    Record(lock, changes);
}

void WaitingQueue::PutBack(const std::string& capped, const KeptPicture& picture)
{
    std::lock_guard<std::mutex> lock(mutex);
    removing.erase(FolderPath(picture));
    if (capped == folder)
        Insert(picture);
}

// ---- The courier's thread

void WaitingQueue::SwitchTo(const std::string& listed)
{
    std::lock_guard<std::mutex> lock(mutex);
    {
        std::lock_guard<std::mutex> journalLock(journalMutex);
        journal = StateFile();
    }
    folder = listed;
    holder = false;
    kept.clear();
    byPath.clear();
    totalBytes = 0;
    waitingOnDisk = 0;
    cameras.clear();
    lookUp.clear();
    skipped.clear();
    removing.clear();
    inFlightPath.clear();
    CountLocked();
}

uint64_t WaitingQueue::Seq() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return seq;
}

void WaitingQueue::TakeOver(const std::string& listed, FolderListing listing, uint64_t seqAtStart,
                            StateFile state, const DeliveryMarks& marks)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (listed != folder)
        return;
    std::vector<KeptPicture> recent;
    for (const KeptPicture& picture : kept) {
        if (picture.addedSeq > seqAtStart)
            recent.push_back(picture);
    }
    kept.clear();
    byPath.clear();
    totalBytes = 0;
    waitingOnDisk = 0;
    cameras.insert(listing.cameras.begin(), listing.cameras.end());
    for (KeptPicture& picture : listing.pictures) {
        if (picture.kind != PictureKind::Waiting)
            picture.kind = marks.delivered.count(StatePath(picture.camera, picture.file.name))
                               ? PictureKind::Delivered
                               : PictureKind::KeptOnly;
        Insert(std::move(picture));
    }
    for (KeptPicture& picture : recent)
        Insert(std::move(picture));
    lookUp = marks.lookUp;
    if (FirstWaiting() != kept.end())
        lookUp.insert(StatePath(FirstWaiting()->camera, FirstWaiting()->file.name));
    holder = true;
    std::lock_guard<std::mutex> journalLock(journalMutex);
    journal = std::move(state);
}

void WaitingQueue::Merge(const std::string& listed, const std::vector<KeptPicture>& waiting,
                         uint64_t seqAtStart, const std::vector<std::string>& found,
                         const std::vector<std::string>& newLookUps)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (listed != folder)
        return;
    cameras.insert(found.begin(), found.end());
    lookUp.insert(newLookUps.begin(), newLookUps.end());
    std::set<std::string> paths;
    for (const KeptPicture& picture : waiting)
        paths.insert(FolderPath(picture));
    // Removed by hand or sent by another instance before this one delivered.
    std::vector<std::string> gone;
    for (auto picture = FirstWaiting(); picture != kept.end(); ++picture) {
        const std::string path = FolderPath(*picture);
        if (picture->addedSeq <= seqAtStart && !paths.count(path) && path != inFlightPath)
            gone.push_back(path);
    }
    for (const std::string& path : gone)
        Erase(path);
    for (const KeptPicture& picture : waiting) {
        if (!removing.count(FolderPath(picture)))
            Insert(picture);
    }
}

std::vector<std::string> WaitingQueue::Cameras() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return std::vector<std::string>(cameras.begin(), cameras.end());
}

std::set<std::string> WaitingQueue::LookUpMarks() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return lookUp;
}

std::vector<std::string> WaitingQueue::NewLookUps()
{
    std::lock_guard<std::mutex> journalLock(journalMutex);
    return journal.NewLookUps();
}

void WaitingQueue::CompactIfDue(bool now)
{
    {
        std::lock_guard<std::mutex> journalLock(journalMutex);
        if (!journal || (!now && !journal.IsDue()))
            return;
    }
    Lock lock(mutex);
    const DeliveryMarks marks = MarksLocked();
    std::lock_guard<std::mutex> journalLock(journalMutex);
    lock.unlock();
    // Not rewritten: the journal keeps growing and is tried again later.
    journal.Rewrite(marks);
}

bool WaitingQueue::HasSendable(bool fromDisk) const
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!held.empty())
        return true;
    for (auto picture = FirstWaiting(); fromDisk && picture != kept.end(); ++picture) {
        if (!skipped.count(FolderPath(*picture)))
            return true;
    }
    return false;
}

std::optional<Parcel> WaitingQueue::Next(bool fromDisk)
{
    std::lock_guard<std::mutex> lock(mutex);
    const KeptPicture* onDisk = nullptr;
    for (auto picture = FirstWaiting(); fromDisk && picture != kept.end() && !onDisk; ++picture) {
        if (!skipped.count(FolderPath(*picture)))
            onDisk = &*picture;
    }
    const HeldPicture* inMemory = held.empty() ? nullptr : &held.front();
    Parcel parcel;
    if (inMemory && (!onDisk || TakenBefore(PictureFile{inMemory->name, inMemory->taken, 0}, onDisk->file))) {
        parcel.picture.kind = PictureKind::Waiting;
        parcel.picture.camera = inMemory->camera;
        parcel.picture.file = PictureFile{inMemory->name, inMemory->taken, 0};
        parcel.heldId = inFlightHeld = inMemory->id;
        parcel.jpeg = inMemory->jpeg;
        parcel.lookUpFirst = inMemory->lookUpFirst;
        return parcel;
    }
    if (!onDisk)
        return std::nullopt;
    parcel.picture = *onDisk;
    parcel.lookUpFirst = lookUp.count(StatePath(onDisk->camera, onDisk->file.name)) > 0;
    inFlightPath = FolderPath(*onDisk);
    return parcel;
}

void WaitingQueue::EraseHeld(uint64_t id)
{
    const auto found =
        std::find_if(held.begin(), held.end(), [id](const HeldPicture& picture) { return picture.id == id; });
    if (found != held.end()) {
        heldBytes -= found->jpeg->size();
        held.erase(found);
    }
    CountLocked();
}

bool WaitingQueue::EndInFlight(const Parcel& parcel)
{
    inFlightPath.clear();
    inFlightHeld = 0;
    if (parcel.heldId == 0)
        return false;
    EraseHeld(parcel.heldId);
    return true;
}

MarkChanges WaitingQueue::LeaveWaiting(const Parcel& parcel)
{
    MarkChanges changes;
    Erase(FolderPath(parcel.picture));
    const std::string path = StatePath(parcel.picture.camera, parcel.picture.file.name);
    if (lookUp.erase(path))
        changes.emplace_back(MarkChange::LookedUp, path);
    return changes;
}

void WaitingQueue::Delivered(const Parcel& parcel, const std::optional<PictureFile>& keptAs)
{
    Lock lock(mutex);
    if (EndInFlight(parcel))
        return;
    MarkChanges changes = LeaveWaiting(parcel);
    const std::string& camera = parcel.picture.camera;
    if (keptAs) {
        Insert(KeptPicture{PictureKind::Delivered, camera, *keptAs, 0});
        changes.emplace_back(MarkChange::Delivered, StatePath(camera, keptAs->name));
    }
    Record(lock, changes);
}

void WaitingQueue::Refused(const Parcel& parcel, const std::optional<PictureFile>& keptAs)
{
    Lock lock(mutex);
    if (EndInFlight(parcel))
        return;
    if (!keptAs) {
        skipped.insert(FolderPath(parcel.picture));
        return;
    }
    const MarkChanges changes = LeaveWaiting(parcel);
    Insert(KeptPicture{PictureKind::KeptOnly, parcel.picture.camera, *keptAs, 0});
    Record(lock, changes);
}

void WaitingQueue::MarkLookUp(const Parcel& parcel)
{
    Lock lock(mutex);
    inFlightPath.clear();
    inFlightHeld = 0;
    if (parcel.heldId != 0) {
        for (HeldPicture& picture : held) {
            if (picture.id == parcel.heldId)
                picture.lookUpFirst = true;
        }
        return;
    }
    const std::string path = StatePath(parcel.picture.camera, parcel.picture.file.name);
    if (!lookUp.insert(path).second)
        return;
    Record(lock, {{MarkChange::LookUp, path}});
}

void WaitingQueue::Release(const Parcel&)
{
    std::lock_guard<std::mutex> lock(mutex);
    inFlightPath.clear();
    inFlightHeld = 0;
}

void WaitingQueue::SetAside(const Parcel& parcel)
{
    std::lock_guard<std::mutex> lock(mutex);
    inFlightPath.clear();
    skipped.insert(FolderPath(parcel.picture));
}

void WaitingQueue::Forget(const Parcel& parcel)
{
    std::lock_guard<std::mutex> lock(mutex);
    inFlightPath.clear();
    Erase(FolderPath(parcel.picture));
}

std::optional<HeldPicture> WaitingQueue::OldestHeld() const
{
    std::lock_guard<std::mutex> lock(mutex);
    if (held.empty())
        return std::nullopt;
    return held.front();
}

void WaitingQueue::HeldWritten(uint64_t id, const std::string& written, KeptPicture picture)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found =
        std::find_if(held.begin(), held.end(), [id](const HeldPicture& one) { return one.id == id; });
    const bool marked = found != held.end() && found->lookUpFirst;
    EraseHeld(id);
    if (written != folder)
        return;
    if (marked)
        lookUp.insert(StatePath(picture.camera, picture.file.name));
    picture.addedSeq = ++seq;
    Insert(std::move(picture));
}

}  // namespace pictures
