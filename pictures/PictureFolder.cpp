// The picture folder's two threads. The writer encodes and keeps each picture
// and enforces the size cap; the delivery thread owns the folder's lock, sends
// waiting pictures and writes the state file. Both report through `events`
// without holding `mutex`.
//
// On disk: <folder>/pending/ holds the pictures waiting for Drive,
// <folder>/ the kept ones (delivered or kept only, told apart by the state
// file), <folder>/.lock is flocked by the one instance that delivers.

#include "PictureFolder.h"

#include "JpegEncoder.h"
#include "PictureFiles.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

using pictures::PictureFile;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kQueueLimit = 8;

struct Frame {
    std::vector<uint8_t> rgb;
    int width = 0;
    int height = 0;
    std::string name;
    bool waitsForDrive = false;
};

std::string NormalFolder(std::string folder)
{
    if (folder.empty())
        folder = PictureSettings::DefaultFolder();
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

std::string Reason(int error)
{
    if (error == ENOENT)
        return "the folder above it does not exist";
    return std::generic_category().message(error);
}

std::string HomeFolder()
{
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/')
        return home;
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return found->pw_dir;
    return "/";
}

}  // namespace

std::string PictureSettings::DefaultFolder()
{
    const std::string home = HomeFolder();
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    const std::string config =
        configHome != nullptr && configHome[0] == '/' ? configHome : home + "/.config";
    std::string pictures = home + "/Pictures";
    // xdg-user-dirs writes lines such as XDG_PICTURES_DIR="$HOME/Bilder".
    std::ifstream file(config + "/user-dirs.dirs");
    const std::string key = "XDG_PICTURES_DIR=";
    std::string line;
    while (std::getline(file, line)) {
        line.erase(0, line.find_first_not_of(" \t"));
        if (line.compare(0, key.size(), key) != 0)
            continue;
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        std::string path;
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '\\' && i + 1 < value.size())
                ++i;
            path += value[i];
        }
        if (path.compare(0, 5, "$HOME") == 0)
            path = home + path.substr(5);
        else if (path.empty() || path[0] != '/')
            continue;
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        // The home folder itself marks the pictures folder as turned off.
        pictures = path == home ? home + "/Pictures" : path;
    }
    return pictures + "/Orvanta";
}

class PictureFolder::Impl {
public:
    Impl(PictureSettings settings, PictureSender send, PictureEvents events, PictureTimings timings);
    ~Impl();

    void Keep(Frame frame);
    void SetDriveConnected(bool connected);
    void Apply(PictureSettings settings);
    PictureSettings Settings() const;
    std::size_t WaitingCount() const { return waitingCount.load(); }

private:
    struct Waiting {
        PictureFile file;
        uint64_t addedSeq = 0;  // 0: found by a scan
    };

    // The writer thread's own state.
    struct Writer {
        pictures::JpegEncoder encoder;
        bool failing = false;  // an episode of pictures that could not be saved
        std::size_t lost = 0;
    };

    // The delivery thread's own state.
    struct Delivery {
        std::string folder;
        pictures::UniqueFd lock;  // <folder>/.lock
        bool holder = false;
        bool lookUpOldest = false;  // just became the holder: the oldest may have been in flight
        std::set<std::string> skipped;  // unreadable, or cannot be set aside
        std::chrono::milliseconds backoff{0};
        Clock::time_point nextAttempt{};
        Clock::time_point lastSend{};
        Clock::time_point nextRescan{};
        bool troubleReported = false;  // this episode's failures were reported
        DeliveryOutcome lastTrouble = DeliveryOutcome::Delivered;
        // A folder left by Apply: its lock is held until its waiting
        // pictures have all moved, so that no other instance sends them.
        std::string leftBehind;
        pictures::UniqueFd leftBehindLock;
        std::set<std::string> leftBehindLookUp;
        Clock::time_point leftAt{};
        bool moveReported = false;
    };

    void WriterLoop();
    void WriteOne(Writer& writer, const Frame& frame, const PictureSettings& settings);
    void EnforceCap(const std::string& folder, const std::string& justWritten);

    void DeliveryLoop();
    Clock::time_point DeliveryStep(Delivery& d);
    void SwitchFolder(Delivery& d, const std::string& folder);
    void TryTakeLock(Delivery& d);
    void MoveLeftBehind(Delivery& d);
    void Rescan(Delivery& d);
    void SaveStateIfDirty(Delivery& d);
    void SendOldest(Delivery& d, bool keepDelivered);
    void Settle(Delivery& d, const std::string& name, const DeliveryResult& result, bool keepDelivered);
    DeliveryResult CallSender(const std::vector<uint8_t>& jpeg, const std::string& name, bool lookUp);

    void Status(const std::string& text);
    void ReportWaiting();
    void CountWaitingLocked() { waitingCount = waiting.size(); }

    const PictureSender send;
    const PictureEvents events;
    const PictureTimings timings;

    mutable std::mutex mutex;  // guards everything down to the threads
    std::condition_variable writerWake;
    std::condition_variable deliveryWake;
    PictureSettings settings;
    bool stopping = false;
    std::deque<Frame> queue;
    std::size_t overflowDrops = 0;
    bool capCheckRequested = false;
    bool connected = false;
    bool paused = false;     // NotAuthorized or Cancelled: until connected again
    bool resumeNow = false;  // connected again: no backoff left
    bool deliveryPoke = false;
    std::string listFolder;     // the folder whose pending/ `waiting` lists
    std::string holderFolder;   // the folder whose lock this object holds
    std::map<std::string, Waiting> waiting;
    uint64_t addSeq = 0;
    std::string inFlight;              // in pending/ of listFolder
    std::set<std::string> removing;    // waiting pictures the cap is removing
    pictures::DeliveryState state;     // of holderFolder
    bool stateDirty = false;

    std::atomic<bool> cancel{false};
    std::atomic<std::size_t> waitingCount{0};
    std::mutex reportMutex;  // keeps waitingChanged calls in order
    std::size_t reportedWaiting = std::numeric_limits<std::size_t>::max();

    std::thread writer;
    std::thread delivery;
};

PictureFolder::Impl::Impl(PictureSettings initial, PictureSender sender, PictureEvents handlers,
                          PictureTimings times)
    : send(std::move(sender)), events(std::move(handlers)), timings(times), settings(std::move(initial))
{
    settings.folder = NormalFolder(settings.folder);
    try {
        writer = std::thread(&Impl::WriterLoop, this);
        delivery = std::thread(&Impl::DeliveryLoop, this);
    } catch (...) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        writerWake.notify_all();
        if (writer.joinable())
            writer.join();
        throw;
    }
}

PictureFolder::Impl::~Impl()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    cancel = true;
    writerWake.notify_all();
    deliveryWake.notify_all();
    writer.join();
    delivery.join();
}

void PictureFolder::Impl::Keep(Frame frame)
{
    Frame dropped;  // freed after the lock is released
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping)
            return;
        queue.push_back(std::move(frame));
        if (queue.size() > kQueueLimit) {
            dropped = std::move(queue.front());
            queue.pop_front();
            ++overflowDrops;
        }
    }
    writerWake.notify_one();
}

void PictureFolder::Impl::SetDriveConnected(bool isConnected)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (isConnected && (!connected || paused)) {
            paused = false;
            resumeNow = true;
        }
        connected = isConnected;
        deliveryPoke = true;
    }
    deliveryWake.notify_one();
}

void PictureFolder::Impl::Apply(PictureSettings changed)
{
    changed.folder = NormalFolder(changed.folder);
    {
        std::lock_guard<std::mutex> lock(mutex);
        settings = std::move(changed);
        capCheckRequested = true;
        deliveryPoke = true;
    }
    writerWake.notify_one();
    deliveryWake.notify_one();
}

PictureSettings PictureFolder::Impl::Settings() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return settings;
}

void PictureFolder::Impl::Status(const std::string& text)
{
    try {
        if (events.status)
            events.status(text);
    } catch (...) {
        // A report that failed must not end the thread that made it.
    }
}

void PictureFolder::Impl::ReportWaiting()
{
    // Under its own lock, so that the last call always carries the last count
    // even when both threads report at once.
    std::lock_guard<std::mutex> lock(reportMutex);
    const std::size_t count = waitingCount.load();
    if (count == reportedWaiting)
        return;
    reportedWaiting = count;
    try {
        if (events.waitingChanged)
            events.waitingChanged(count);
    } catch (...) {
        // As in Status.
    }
}

// ---- Writer thread ----

void PictureFolder::Impl::WriterLoop()
{
    Writer writer;
    std::unique_lock<std::mutex> lock(mutex);
    Clock::time_point stopBy{};
    for (;;) {
        writerWake.wait(lock, [this] { return stopping || !queue.empty() || capCheckRequested; });
        if (stopping) {
            // Pictures still queued are written while that is quick; the
            // rest are dropped, so that destruction keeps its time.
            if (stopBy == Clock::time_point{})
                stopBy = Clock::now() + timings.stopWithin / 2;
            if (queue.empty() || Clock::now() >= stopBy)
                return;
        }
        const PictureSettings current = settings;
        if (queue.empty()) {
            capCheckRequested = false;
            lock.unlock();
            try {
                EnforceCap(current.folder, std::string());
            } catch (const std::exception& error) {
                Status(std::string("Picture folder: ") + error.what());
            }
            lock.lock();
            continue;
        }
        const Frame frame = std::move(queue.front());
        queue.pop_front();
        lock.unlock();
        try {
            WriteOne(writer, frame, current);
        } catch (const std::exception& error) {
            Status("Picture " + frame.name + " dropped: " + error.what());
        }
        lock.lock();
        if (queue.empty() && overflowDrops > 0) {
            const std::size_t dropped = std::exchange(overflowDrops, 0);
            lock.unlock();
            Status(std::to_string(dropped) + " pictures dropped: they came faster than the disk took them");
            lock.lock();
        }
    }
}

void PictureFolder::Impl::WriteOne(Writer& writer, const Frame& frame, const PictureSettings& current)
{
    if (!pictures::IsBaseName(frame.name)) {
        Status("A picture was dropped: \"" + frame.name + "\" is not a picture name");
        return;
    }
    std::vector<uint8_t> jpeg;
    if (!writer.encoder.Encode(frame.rgb, frame.width, frame.height, jpeg)) {
        Status("Picture " + frame.name + " dropped: a " + std::to_string(frame.width) + " x "
               + std::to_string(frame.height) + " frame of " + std::to_string(frame.rgb.size())
               + " bytes cannot be encoded");
        return;
    }
    const std::string& folder = current.folder;
    const std::string pending = pictures::PendingDir(folder);
    pictures::WriteResult written;
    written.error = pictures::EnsureFolder(folder, frame.waitsForDrive);
    if (written.error == 0) {
        written = frame.waitsForDrive ? pictures::WritePicture(pending, folder, frame.name, jpeg)
                                      : pictures::WritePicture(folder, pending, frame.name, jpeg);
    }
    if (written.error != 0) {
        ++writer.lost;
        if (!writer.failing)
            Status("Pictures cannot be saved in " + folder + ": " + Reason(written.error));
        writer.failing = true;
        return;
    }
    std::printf("[Pictures] Saved %s\n", written.file.name.c_str());
    std::fflush(stdout);
    if (writer.failing) {
        Status("Pictures are saved in " + folder + " again; " + std::to_string(writer.lost)
               + " could not be saved meanwhile");
        writer.failing = false;
        writer.lost = 0;
    }
    if (frame.waitsForDrive) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (listFolder == folder) {
                waiting[written.file.name] = Waiting{written.file, ++addSeq};
                CountWaitingLocked();
            }
            deliveryPoke = true;
        }
        deliveryWake.notify_one();
        ReportWaiting();
    }
    EnforceCap(folder, written.file.name);
}

void PictureFolder::Impl::EnforceCap(const std::string& folder, const std::string& justWritten)
{
    uint64_t capBytes = 0;
    std::set<std::string> delivered;
    {
        std::lock_guard<std::mutex> lock(mutex);
        // Only the instance that delivers removes, so that no picture is
        // removed while the other sends it.
        if (holderFolder != folder)
            return;
        capBytes = settings.capBytes;
        delivered = state.delivered;
    }
    enum Kind { kDelivered, kKeptOnly, kWaiting };
    struct Candidate {
        Kind kind;
        PictureFile file;
    };
    std::vector<Candidate> candidates;
    uint64_t totalBytes = 0;
    std::set<std::string> present;
    for (PictureFile& file : pictures::ListPictures(folder)) {
        totalBytes += file.bytes;
        present.insert(file.name);
        const Kind kind = delivered.count(file.name) ? kDelivered : kKeptOnly;
        candidates.push_back(Candidate{kind, std::move(file)});
    }
    for (PictureFile& file : pictures::ListPictures(pictures::PendingDir(folder))) {
        totalBytes += file.bytes;
        candidates.push_back(Candidate{kWaiting, std::move(file)});
    }
    std::size_t removedWaiting = 0;
    bool stateChanged = false;
    {
        // Names the user removed by hand are forgotten.
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::string& name : delivered) {
            if (!present.count(name) && holderFolder == folder && state.delivered.erase(name) > 0)
                stateChanged = stateDirty = true;
        }
    }
    if (totalBytes > capBytes) {
        std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
            return a.kind != b.kind ? a.kind < b.kind : pictures::TakenBefore(a.file, b.file);
        });
        for (const Candidate& candidate : candidates) {
            if (totalBytes <= capBytes)
                break;
            const bool isWaiting = candidate.kind == kWaiting;
            if (candidate.file.name == justWritten)
                continue;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (holderFolder != folder || stopping)
                    break;
                if (isWaiting && candidate.file.name == inFlight)
                    continue;
                if (isWaiting)
                    removing.insert(candidate.file.name);
            }
            const std::string path =
                (isWaiting ? pictures::PendingDir(folder) : folder) + "/" + candidate.file.name;
            const bool removed = unlink(path.c_str()) == 0;
            const bool gone = removed || errno == ENOENT;
            {
                std::lock_guard<std::mutex> lock(mutex);
                removing.erase(candidate.file.name);
                if (gone && isWaiting && listFolder == folder) {
                    waiting.erase(candidate.file.name);
                    state.lookUp.erase(candidate.file.name);
                    CountWaitingLocked();
                }
                if (gone && candidate.kind == kDelivered && state.delivered.erase(candidate.file.name) > 0)
                    stateChanged = stateDirty = true;
            }
            if (gone)
                totalBytes -= candidate.file.bytes;
            if (removed && isWaiting)
                ++removedWaiting;
        }
    }
    if (stateChanged) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            deliveryPoke = true;
        }
        deliveryWake.notify_one();
    }
    if (removedWaiting > 0) {
        ReportWaiting();
        Status("Picture folder full: removed " + std::to_string(removedWaiting)
               + " pictures not yet in Google Drive");
    }
}

// ---- Delivery thread ----

void PictureFolder::Impl::DeliveryLoop()
{
    Delivery d;
    d.backoff = timings.firstRetry;
    for (;;) {
        Clock::time_point wakeAt;
        try {
            wakeAt = DeliveryStep(d);
        } catch (const std::exception& error) {
            Status(std::string("Picture delivery: ") + error.what());
            wakeAt = Clock::now() + timings.firstRetry;
        }
        std::unique_lock<std::mutex> lock(mutex);
        deliveryWake.wait_until(lock, wakeAt, [this] { return stopping || deliveryPoke; });
        deliveryPoke = false;
        if (stopping)
            break;
    }
    try {
        SaveStateIfDirty(d);
    } catch (const std::exception&) {
        // The state is rebuilt from what the folder holds at the next start.
    }
}

Clock::time_point PictureFolder::Impl::DeliveryStep(Delivery& d)
{
    std::string wanted;
    bool keepDelivered = true;
    {
        std::lock_guard<std::mutex> lock(mutex);
        wanted = settings.folder;
        keepDelivered = settings.keepDelivered;
    }
    const Clock::time_point now = Clock::now();
    if (wanted != d.folder) {
        SwitchFolder(d, wanted);
        d.nextRescan = now + timings.rescan;
    } else if (now >= d.nextRescan) {
        if (!d.holder)
            TryTakeLock(d);
        MoveLeftBehind(d);
        Rescan(d);
        d.nextRescan = now + timings.rescan;
    }
    SaveStateIfDirty(d);

    bool ready = false;
    {
        // Read with `connected`: a connection that arrives later must not
        // cut short the backoff of a send it did not precede.
        std::lock_guard<std::mutex> lock(mutex);
        if (std::exchange(resumeNow, false)) {
            d.nextAttempt = now;
            d.backoff = timings.firstRetry;
        }
        ready = d.holder && connected && !paused
                && std::any_of(waiting.begin(), waiting.end(), [&](const auto& entry) {
                       return !d.skipped.count(entry.first) && !removing.count(entry.first);
                   });
    }
    if (!ready)
        return d.nextRescan;
    const Clock::time_point sendAt = std::max(d.nextAttempt, d.lastSend + timings.minInterval);
    if (now < sendAt)
        return std::min(sendAt, d.nextRescan);
    SendOldest(d, keepDelivered);
    return Clock::now();
}

void PictureFolder::Impl::SwitchFolder(Delivery& d, const std::string& folder)
{
    pictures::UniqueFd previousLock = std::move(d.lock);
    const bool wasHolder = d.holder;
    std::set<std::string> lookUp;
    if (wasHolder) {
        SaveStateIfDirty(d);
        std::lock_guard<std::mutex> lock(mutex);
        lookUp = state.lookUp;
    }
    d.holder = false;
    d.skipped.clear();
    if (!d.leftBehind.empty() && d.leftBehind == folder) {
        // Back where it came from before everything had moved.
        d.lock = std::move(d.leftBehindLock);
        d.leftBehind.clear();
    }
    if (wasHolder) {
        d.leftBehind = d.folder;
        d.leftBehindLock = std::move(previousLock);
        d.leftBehindLookUp = std::move(lookUp);
        d.leftAt = Clock::now();
        d.moveReported = false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        holderFolder.clear();
        listFolder = folder;
        waiting.clear();
        state = pictures::DeliveryState();
        stateDirty = false;
        CountWaitingLocked();
    }
    d.folder = folder;
    pictures::EnsureFolder(folder, true);
    pictures::RemoveStaleTemporaries(folder);
    pictures::RemoveStaleTemporaries(pictures::PendingDir(folder));
    TryTakeLock(d);
    MoveLeftBehind(d);
    Rescan(d);
}

void PictureFolder::Impl::TryTakeLock(Delivery& d)
{
    if (pictures::EnsureFolder(d.folder, true) != 0)
        return;
    if (!d.lock)
        d.lock.Reset(open((d.folder + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!d.lock || flock(d.lock.Get(), LOCK_EX | LOCK_NB) != 0)
        return;
    d.holder = true;
    d.lookUpOldest = true;
    pictures::DeliveryState loaded = pictures::LoadState(d.folder);
    {
        std::lock_guard<std::mutex> lock(mutex);
        holderFolder = d.folder;
        state = std::move(loaded);
        capCheckRequested = true;
    }
    writerWake.notify_one();
}

void PictureFolder::Impl::MoveLeftBehind(Delivery& d)
{
    if (d.leftBehind.empty())
        return;
    const std::string from = pictures::PendingDir(d.leftBehind);
    const std::string to = pictures::PendingDir(d.folder);
    const std::vector<PictureFile> files = pictures::ListPictures(from);
    int error = files.empty() ? 0 : pictures::EnsureFolder(d.folder, true);
    for (const PictureFile& file : files) {
        if (error != 0 || cancel)
            break;
        const pictures::WriteResult moved = pictures::MovePicture(from, file.name, to, d.folder);
        error = moved.error;
        if (error == 0 && d.leftBehindLookUp.count(file.name)) {
            std::lock_guard<std::mutex> lock(mutex);
            if (holderFolder == d.folder) {
                state.lookUp.insert(moved.file.name);
                stateDirty = true;
            }
        }
    }
    if (error != 0) {
        if (!d.moveReported)
            Status("Waiting pictures cannot be moved from " + d.leftBehind + " to " + d.folder + ": "
                   + Reason(error));
        d.moveReported = true;
        return;
    }
    // A picture the writer began before the change may still land there.
    if (files.empty() && Clock::now() - d.leftAt >= timings.rescan) {
        d.leftBehind.clear();
        d.leftBehindLock.Reset();
        d.leftBehindLookUp.clear();
    }
}

void PictureFolder::Impl::Rescan(Delivery& d)
{
    uint64_t seqAtStart = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        seqAtStart = addSeq;
    }
    const std::vector<PictureFile> files = pictures::ListPictures(pictures::PendingDir(d.folder));
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::map<std::string, Waiting> fresh;
        for (const PictureFile& file : files)
            fresh[file.name] = Waiting{file, 0};
        // Written after the listing began.
        for (const auto& [name, entry] : waiting) {
            if (entry.addedSeq > seqAtStart)
                fresh.emplace(name, entry);
        }
        waiting.swap(fresh);
        CountWaitingLocked();
        if (d.holder) {
            for (auto name = state.lookUp.begin(); name != state.lookUp.end();) {
                if (waiting.count(*name)) {
                    ++name;
                } else {
                    name = state.lookUp.erase(name);
                    stateDirty = true;
                }
            }
            if (d.lookUpOldest && !waiting.empty()) {
                const auto oldest = std::min_element(waiting.begin(), waiting.end(), [](const auto& a, const auto& b) {
                    return pictures::TakenBefore(a.second.file, b.second.file);
                });
                state.lookUp.insert(oldest->first);
            }
            d.lookUpOldest = false;
        }
    }
    ReportWaiting();
}

void PictureFolder::Impl::SaveStateIfDirty(Delivery& d)
{
    pictures::DeliveryState copy;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!d.holder || !stateDirty)
            return;
        copy = state;
        stateDirty = false;
    }
    // A failed save is retried with the next change; the disk's trouble
    // shows in the writer's status.
    pictures::SaveState(d.folder, copy);
}

void PictureFolder::Impl::SendOldest(Delivery& d, bool keepDelivered)
{
    PictureFile picked;
    bool lookUp = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const Waiting* oldest = nullptr;
        for (const auto& [name, entry] : waiting) {
            if (removing.count(name) || d.skipped.count(name))
                continue;
            if (oldest == nullptr || pictures::TakenBefore(entry.file, oldest->file))
                oldest = &entry;
        }
        if (oldest == nullptr)
            return;
        picked = oldest->file;
        inFlight = picked.name;
        lookUp = state.lookUp.count(picked.name) > 0;
    }
    std::vector<uint8_t> jpeg;
    const int error = pictures::ReadWholeFile(pictures::PendingDir(d.folder) + "/" + picked.name, jpeg);
    if (error != 0) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            inFlight.clear();
            // Removed by hand: simply not sent.
            if (error == ENOENT) {
                waiting.erase(picked.name);
                CountWaitingLocked();
            }
        }
        if (error != ENOENT) {
            d.skipped.insert(picked.name);
            Status("Picture " + picked.name + " cannot be read: " + Reason(error));
        }
        ReportWaiting();
        return;
    }
    d.lastSend = Clock::now();
    const DeliveryResult result = CallSender(jpeg, picked.name, lookUp);
    Settle(d, picked.name, result, keepDelivered);
}

DeliveryResult PictureFolder::Impl::CallSender(const std::vector<uint8_t>& jpeg, const std::string& name,
                                               bool lookUp)
{
    try {
        return send(jpeg, pictures::DriveName(name), lookUp, cancel);
    } catch (const std::exception& error) {
        // It may have been stored before the sender failed.
        return DeliveryResult{DeliveryOutcome::Unknown, error.what()};
    } catch (...) {
        return DeliveryResult{DeliveryOutcome::Unknown, "Picture delivery failed"};
    }
}

void PictureFolder::Impl::Settle(Delivery& d, const std::string& name, const DeliveryResult& result,
                                 bool keepDelivered)
{
    const std::string pending = pictures::PendingDir(d.folder);
    const Clock::time_point now = Clock::now();
    const auto backOff = [&] {
        d.nextAttempt = now + d.backoff;
        d.backoff = std::min(d.backoff * 2, timings.longestRetry);
    };
    const auto reportTrouble = [&](DeliveryOutcome outcome, const std::string& text) {
        if (d.troubleReported && d.lastTrouble == outcome)
            return;
        d.troubleReported = true;
        d.lastTrouble = outcome;
        if (!text.empty())
            Status(text);
    };
    switch (result.outcome) {
    case DeliveryOutcome::Delivered: {
        d.backoff = timings.firstRetry;
        d.nextAttempt = now;
        d.troubleReported = false;
        pictures::WriteResult kept;
        if (keepDelivered)
            kept = pictures::MovePicture(pending, name, d.folder, std::string());
        else if (unlink((pending + "/" + name).c_str()) != 0 && errno != ENOENT)
            kept.error = errno;
        bool empty = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            inFlight.clear();
            if (kept.error == 0) {
                waiting.erase(name);
                state.lookUp.erase(name);
                if (keepDelivered)
                    state.delivered.insert(kept.file.name);
                CountWaitingLocked();
            } else {
                // Drive holds it: should it come round again, look it up
                // rather than send it twice.
                state.lookUp.insert(name);
            }
            stateDirty = true;
            empty = waiting.empty();
        }
        SaveStateIfDirty(d);
        ReportWaiting();
        if (kept.error != 0) {
            backOff();
            reportTrouble(DeliveryOutcome::Delivered,
                          "Picture " + name + " is in Google Drive but cannot leave " + pending + ": "
                              + Reason(kept.error));
        }
        if (!result.message.empty())
            Status(result.message);
        // Perhaps another instance has written more meanwhile.
        if (empty)
            d.nextRescan = now;
        break;
    }
    case DeliveryOutcome::Unknown:
    case DeliveryOutcome::NotSent:
    case DeliveryOutcome::DriveFull: {
        {
            std::lock_guard<std::mutex> lock(mutex);
            inFlight.clear();
            if (result.outcome == DeliveryOutcome::Unknown && state.lookUp.insert(name).second)
                stateDirty = true;
        }
        SaveStateIfDirty(d);
        backOff();
        reportTrouble(result.outcome, result.message);
        break;
    }
    case DeliveryOutcome::Refused: {
        // Kept as a picture that is only kept, out of the way of the others.
        const pictures::WriteResult kept = pictures::MovePicture(pending, name, d.folder, std::string());
        {
            std::lock_guard<std::mutex> lock(mutex);
            inFlight.clear();
            if (kept.error == 0) {
                waiting.erase(name);
                state.lookUp.erase(name);
                stateDirty = true;
                CountWaitingLocked();
            }
        }
        if (kept.error != 0)
            d.skipped.insert(name);
        SaveStateIfDirty(d);
        ReportWaiting();
        Status(!result.message.empty() ? result.message
                                       : "Google Drive refused picture " + name + "; it stays in the folder");
        break;
    }
    case DeliveryOutcome::NotAuthorized:
    case DeliveryOutcome::Cancelled: {
        {
            std::lock_guard<std::mutex> lock(mutex);
            inFlight.clear();
            paused = true;
        }
        if (!result.message.empty())
            Status(result.message);
        break;
    }
    }
}

// ---- PictureFolder ----

PictureFolder::PictureFolder(PictureSettings settings, PictureSender send, PictureEvents events,
                             PictureTimings timings)
    : impl(std::make_unique<Impl>(std::move(settings), std::move(send), std::move(events), timings))
{
}

PictureFolder::~PictureFolder() = default;

void PictureFolder::Keep(std::vector<uint8_t> rgb, int width, int height, std::string name,
                         bool waitsForDrive)
{
    impl->Keep(Frame{std::move(rgb), width, height, std::move(name), waitsForDrive});
}

void PictureFolder::SetDriveConnected(bool connected)
{
    impl->SetDriveConnected(connected);
}

void PictureFolder::Apply(PictureSettings settings)
{
    impl->Apply(std::move(settings));
}

PictureSettings PictureFolder::Settings() const
{
    return impl->Settings();
}

std::size_t PictureFolder::WaitingCount() const
{
    return impl->WaitingCount();
}
