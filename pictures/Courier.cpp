#include "Courier.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

namespace pictures {

namespace {

// Camera folders another instance made are found by listing the whole folder
// (thousands of pictures): when the folder's link count says a folder came
// or went, and where the file system does not count them, once every this
// many rescans.
constexpr unsigned kRediscoverEvery = 20;

std::vector<std::string> WithBase(std::vector<std::string> cameras)
{
    cameras.insert(cameras.begin(), std::string());
    return cameras;
}

void ListInto(std::vector<KeptPicture>& pictures, const std::string& dir, PictureKind kind,
              const std::string& camera)
{
    for (PictureFile& file : ListPictures(dir))
        pictures.push_back(KeptPicture{kind, camera, std::move(file), 0});
}

FolderListing ListTree(const std::string& folder)
{
    FolderListing listing;
    listing.cameras = ListCameraFolders(folder);
    for (const std::string& camera : WithBase(listing.cameras)) {
        const std::string dir = CameraDir(folder, camera);
        ListInto(listing.pictures, dir, PictureKind::KeptOnly, camera);
        ListInto(listing.pictures, PendingDir(dir), PictureKind::Waiting, camera);
    }
    return listing;
}

void SweepTemporaries(const std::string& folder)
{
    for (const std::string& camera : WithBase(ListCameraFolders(folder))) {
        RemoveStaleTemporaries(CameraDir(folder, camera));
        RemoveStaleTemporaries(PendingDir(CameraDir(folder, camera)));
    }
}

}  // namespace

Courier::Courier(WaitingQueue& waiting, PictureSender sender, std::function<void(const std::string&)> onStatus,
                 std::function<void()> onFolderRead, PictureTimings times, std::shared_ptr<DeliveryClock> time,
                 CourierFolder initial)
    : queue(waiting), send(std::move(sender)), status(std::move(onStatus)), folderRead(std::move(onFolderRead)),
      timings(times), clock(time ? std::move(time) : MakeSteadyDeliveryClock()), backoff(times.firstRetry)
{
    wanted.folder = std::move(initial);
}

Courier::~Courier()
{
    Stop();
}

void Courier::Start()
{
    thread = std::thread(&Courier::Loop, this);
}

void Courier::RequestStop()
{
    {
        std::lock_guard<std::mutex> guard(mutex);
        stopping = true;
    }
    cancel = true;
    clock->Wake();
}

void Courier::Stop()
{
    RequestStop();
    if (thread.joinable())
        thread.join();
}

void Courier::Apply(CourierFolder changed)
{
    {
        std::lock_guard<std::mutex> guard(mutex);
        wanted.folder = std::move(changed);
    }
    clock->Wake();
}

void Courier::SetDriveConnected(bool isConnected)
{
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (isConnected && (!wanted.connected || wanted.paused)) {
            wanted.paused = false;
            wanted.resumeNow = true;
        }
        wanted.connected = isConnected;
        connectedNow = isConnected;
    }
    clock->Wake();
}

void Courier::Status(const std::string& text)
{
    try {
        if (status && !text.empty())
            status(text);
    } catch (...) {
        // A report that failed must not end the thread that made it.
    }
}

void Courier::Loop()
{
    for (;;) {
        TimePoint wakeAt;
        try {
            wakeAt = Step();
        } catch (const std::exception& error) {
            Status(std::string("Picture delivery: ") + error.what());
            wakeAt = clock->Now() + timings.firstRetry;
        }
        {
            std::lock_guard<std::mutex> guard(mutex);
            if (stopping)
                return;
        }
        clock->WaitUntil(wakeAt);
    }
}

Courier::Wanted Courier::TakeWanted()
{
    std::lock_guard<std::mutex> guard(mutex);
    Wanted now = wanted;
    // Taken with `connected`: a connection that arrives later must not cut
    // short the backoff of a send it did not precede.
    wanted.resumeNow = false;
    return now;
}

Courier::TimePoint Courier::Step()
{
    const Wanted now = TakeWanted();
    const TimePoint at = clock->Now();
    if (now.folder.path != folder.path) {
        SwitchFolder(now.folder);
        nextRescan = at + timings.rescan;
    } else if (at >= nextRescan) {
        if (!holder)
            TryTakeOver();
        MoveLeftBehind();
        WriteHeld();
        Rescan(CamerasMayHaveChanged());
        queue.CompactIfDue();
        nextRescan = at + timings.rescan;
    }
    folder.keepDelivered = now.folder.keepDelivered;
    if (now.resumeNow) {
        nextAttempt = at;
        backoff = timings.firstRetry;
    }
    // Held pictures are this instance's own: they go whoever holds the folder.
    if (!now.connected || now.paused || !queue.HasSendable(holder))
        return nextRescan;
    const TimePoint sendAt = std::max(nextAttempt, lastSend + timings.minInterval);
    if (at < sendAt)
        return std::min(sendAt, nextRescan);
    SendOldest();
    return clock->Now();
}

void Courier::SwitchFolder(const CourierFolder& to)
{
    std::set<std::string> lookUp = holder ? queue.LookUpMarks() : std::set<std::string>();
    UniqueFd previousLock = std::move(lock);
    const bool wasHolder = holder;
    holder = false;
    if (!left.path.empty() && left.path == to.path) {
        // Back where it came from before everything had moved.
        lock = std::move(left.lock);
        left = LeftBehind();
    }
    if (wasHolder)
        left = LeftBehind{folder.path, std::move(previousLock), std::move(lookUp), clock->Now(), false};
    folder = to;
    queue.SwitchTo(folder.path);
    EnsureFolder(folder.path, folder.isDefault, std::string(), true);
    SweepTemporaries(folder.path);
    TryTakeOver();
    MoveLeftBehind();
    WriteHeld();
    Rescan(!holder);
}

void Courier::TryTakeOver()
{
    if (EnsureFolder(folder.path, folder.isDefault, std::string(), true) != 0)
        return;
    if (!lock)
        lock.Reset(open((folder.path + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600));
    if (!lock || flock(lock.Get(), LOCK_EX | LOCK_NB) != 0)
        return;
    holder = true;
    DeliveryMarks marks;
    StateFile state = StateFile::Open(folder.path, marks);
    const uint64_t seq = queue.Seq();
    queue.TakeOver(folder.path, ListTree(folder.path), seq, std::move(state), marks);
    // Read once, written back at once: what the old state file said is
    // carried over, names gone meanwhile are forgotten.
    queue.CompactIfDue(true);
    queue.ReportCount();
    if (folderRead)
        folderRead();
}

bool Courier::CamerasMayHaveChanged()
{
    struct stat info {};
    if (stat(folder.path.c_str(), &info) != 0)
        return false;
    const bool changed = info.st_nlink != folderLinks;
    folderLinks = info.st_nlink;
    // A folder's link count includes its subfolders', except where the file
    // system does not count them (it says 1).
    return changed || (info.st_nlink < 2 && ++rescans % kRediscoverEvery == 0);
}

void Courier::Rescan(bool discoverCameras)
{
    const uint64_t seq = queue.Seq();
    // Marks first: whoever recorded one had put its picture in place before.
    const std::vector<std::string> lookUps = holder ? queue.NewLookUps() : std::vector<std::string>();
    std::vector<std::string> cameras = queue.Cameras();
    std::vector<std::string> found;
    if (discoverCameras) {
        found = ListCameraFolders(folder.path);
        cameras.insert(cameras.end(), found.begin(), found.end());
        std::sort(cameras.begin(), cameras.end());
        cameras.erase(std::unique(cameras.begin(), cameras.end()), cameras.end());
    }
    std::vector<KeptPicture> waiting;
    for (const std::string& camera : WithBase(cameras))
        ListInto(waiting, PendingDir(CameraDir(folder.path, camera)), PictureKind::Waiting, camera);
    queue.Merge(folder.path, waiting, seq, found, lookUps);
    queue.ReportCount();
}

void Courier::MoveLeftBehind()
{
    if (left.path.empty())
        return;
    int error = 0;
    bool moved = false;
    for (const std::string& camera : WithBase(ListCameraFolders(left.path))) {
        const std::string from = PendingDir(CameraDir(left.path, camera));
        for (const PictureFile& file : ListPictures(from)) {
            if (error != 0 || cancel)
                break;
            error = MoveOne(from, camera, file.name);
            moved = true;
        }
    }
    if (error != 0) {
        if (!left.reported)
            Status("Waiting pictures cannot be moved from " + left.path + " to " + folder.path + ": "
                   + ErrorText(error));
        left.reported = true;
        return;
    }
    // A picture the writer began before the change may still land there.
    if (!moved && clock->Now() - left.at >= timings.rescan)
        left = LeftBehind();
}

int Courier::MoveOne(const std::string& fromDir, const std::string& camera, const std::string& name)
{
    if (const int error = EnsureFolder(folder.path, folder.isDefault, camera, true))
        return error;
    const std::string dir = CameraDir(folder.path, camera);
    // Its look-up mark goes along, whoever delivers the new folder.
    const bool lookUp = left.lookUp.count(StatePath(camera, name)) > 0;
    return PlaceWithLookUp(folder.path, camera, lookUp, [&] {
               return MovePicture(fromDir, name, PendingDir(dir), dir);
           }).error;
}

void Courier::WriteHeld()
{
    while (!cancel) {
        const std::optional<HeldPicture> picture = queue.OldestHeld();
        if (!picture)
            break;
        const std::string dir = CameraDir(folder.path, picture->camera);
        WriteResult written;
        written.error = EnsureFolder(folder.path, folder.isDefault, picture->camera, true);
        if (written.error == 0) {
            written = PlaceWithLookUp(folder.path, picture->camera, picture->lookUpFirst, [&] {
                return WritePicture(PendingDir(dir), dir, picture->name, *picture->jpeg, &picture->taken);
            });
        }
        // Still not writable: it stays in memory.
        if (written.error != 0)
            break;
        std::printf("[Pictures] Saved %s\n", written.file.name.c_str());
        std::fflush(stdout);
        queue.HeldWritten(picture->id, folder.path,
                          KeptPicture{PictureKind::Waiting, picture->camera, written.file, 0});
    }
    queue.ReportCount();
}

void Courier::SendOldest()
{
    const std::optional<Parcel> parcel = queue.Next(holder);
    if (!parcel)
        return;
    const std::string& name = parcel->picture.file.name;
    std::vector<uint8_t> read;
    if (!parcel->jpeg) {
        const std::string pending = PendingDir(CameraDir(folder.path, parcel->picture.camera));
        const int error = ReadWholeFile(pending + "/" + name, read);
        if (error == ENOENT) {
            // Removed by hand: simply not sent.
            queue.Forget(*parcel);
            queue.ReportCount();
            return;
        }
        if (error != 0) {
            queue.SetAside(*parcel);
            Status("Picture " + name + " cannot be read: " + ErrorText(error));
            return;
        }
    }
    lastSend = clock->Now();
    const DeliveryResult result = CallSender(parcel->jpeg ? *parcel->jpeg : read, *parcel);
    switch (result.outcome) {
    case DeliveryOutcome::Delivered:
        return OnDelivered(*parcel, result);
    case DeliveryOutcome::Unknown:
    case DeliveryOutcome::NotSent:
    case DeliveryOutcome::DriveFull:
        return OnNotDelivered(*parcel, result);
    case DeliveryOutcome::Refused:
        return OnRefused(*parcel, result);
    case DeliveryOutcome::NotAuthorized:
    case DeliveryOutcome::Cancelled:
        return OnPaused(*parcel, result);
    }
}

DeliveryResult Courier::CallSender(const std::vector<uint8_t>& jpeg, const Parcel& parcel)
{
    try {
        return send(jpeg, DriveName(parcel.picture.file.name), parcel.picture.camera, parcel.lookUpFirst, cancel);
    } catch (const std::exception& error) {
        // It may have been stored before the sender failed.
        return DeliveryResult{DeliveryOutcome::Unknown, error.what()};
    } catch (...) {
        return DeliveryResult{DeliveryOutcome::Unknown, "Picture delivery failed"};
    }
}

void Courier::BackOff(TimePoint now)
{
    nextAttempt = now + backoff;
    backoff = std::min(backoff * 2, timings.longestRetry);
}

void Courier::ReportTrouble(DeliveryOutcome outcome, const std::string& text)
{
    if (troubleReported && lastTrouble == outcome)
        return;
    troubleReported = true;
    lastTrouble = outcome;
    Status(text);
}

void Courier::OnDelivered(const Parcel& parcel, const DeliveryResult& result)
{
    const TimePoint now = clock->Now();
    backoff = timings.firstRetry;
    nextAttempt = now;
    troubleReported = false;
    const std::string& name = parcel.picture.file.name;
    const std::string dir = CameraDir(folder.path, parcel.picture.camera);
    const bool onDisk = parcel.heldId == 0;  // a held one was never written: nothing to keep
    WriteResult kept;
    if (onDisk && folder.keepDelivered)
        kept = MovePicture(PendingDir(dir), name, dir, std::string());
    else if (onDisk && unlink((PendingDir(dir) + "/" + name).c_str()) != 0 && errno != ENOENT)
        kept.error = errno;
    if (kept.error != 0) {
        // Drive holds it: should it come round again, look it up rather
        // than send it twice.
        queue.MarkLookUp(parcel);
        BackOff(now);
        ReportTrouble(DeliveryOutcome::Delivered, "Picture " + name + " is in Google Drive but cannot leave "
                                                      + PendingDir(dir) + ": " + ErrorText(kept.error));
    } else {
        const bool isKept = onDisk && folder.keepDelivered;
        queue.Delivered(parcel, isKept ? std::optional<PictureFile>(kept.file) : std::nullopt);
    }
    queue.ReportCount();
    Status(result.message);
    // Perhaps another instance has written more meanwhile.
    if (queue.WaitingCount() == 0)
        nextRescan = now;
}

void Courier::OnNotDelivered(const Parcel& parcel, const DeliveryResult& result)
{
    if (result.outcome == DeliveryOutcome::Unknown)
        queue.MarkLookUp(parcel);
    else
        queue.Release(parcel);
    BackOff(clock->Now());
    ReportTrouble(result.outcome, result.message);
}

void Courier::OnRefused(const Parcel& parcel, const DeliveryResult& result)
{
    const std::string& name = parcel.picture.file.name;
    if (parcel.heldId != 0) {
        queue.Refused(parcel, std::nullopt);
        std::printf("[Pictures] Lost %s\n", name.c_str());
        std::fflush(stdout);
        Status(!result.message.empty() ? result.message
                                       : "Google Drive refused picture " + name + ", which could not be kept either");
    } else {
        // Kept as a picture that is only kept, out of the way of the others.
        const std::string dir = CameraDir(folder.path, parcel.picture.camera);
        const WriteResult kept = MovePicture(PendingDir(dir), name, dir, std::string());
        queue.Refused(parcel, kept.error == 0 ? std::optional<PictureFile>(kept.file) : std::nullopt);
        Status(!result.message.empty() ? result.message
                                       : "Google Drive refused picture " + name + "; it stays in the folder");
    }
    queue.ReportCount();
}

void Courier::OnPaused(const Parcel& parcel, const DeliveryResult& result)
{
    queue.Release(parcel);
    {
        std::lock_guard<std::mutex> guard(mutex);
        wanted.paused = true;
    }
    Status(result.message);
}

}  // namespace pictures
