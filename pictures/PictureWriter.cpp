#include "PictureWriter.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace pictures {

namespace {

constexpr std::size_t kQueueLimit = 8;

}  // namespace

PictureWriter::PictureWriter(WaitingQueue& waiting, Hooks handlers, WriterFolder initial,
                             std::chrono::milliseconds stopTime)
    : queue(waiting), hooks(std::move(handlers)), stopWithin(stopTime), folder(std::move(initial))
{
}

PictureWriter::~PictureWriter()
{
    Stop();
}

void PictureWriter::Start()
{
    thread = std::thread(&PictureWriter::Loop, this);
}

void PictureWriter::RequestStop()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
}

void PictureWriter::Stop()
{
    RequestStop();
    if (thread.joinable())
        thread.join();
}

void PictureWriter::Keep(Frame frame)
{
    Frame dropped;  // freed after the lock is released
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping)
            return;
        frames.push_back(std::move(frame));
        if (frames.size() > kQueueLimit) {
            dropped = std::move(frames.front());
            frames.pop_front();
            ++overflowDrops;
        }
    }
    wake.notify_one();
}

void PictureWriter::Apply(WriterFolder changed)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        folder = std::move(changed);
        capCheck = true;
    }
    wake.notify_one();
}

void PictureWriter::CheckCap()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        capCheck = true;
    }
    wake.notify_one();
}

void PictureWriter::Status(const std::string& text)
{
    try {
        if (hooks.status)
            hooks.status(text);
    } catch (...) {
        // A report that failed must not end the thread that made it.
    }
}

void PictureWriter::Delivering(const Frame& frame)
{
    try {
        if (hooks.delivering)
            hooks.delivering(frame.name, frame.camera);
    } catch (...) {
        // As in Status.
    }
}

void PictureWriter::Lost(const std::string& name)
{
    ++lost;
    std::printf("[Pictures] Lost %s\n", name.c_str());
    std::fflush(stdout);
}

void PictureWriter::Loop()
{
    std::unique_lock<std::mutex> lock(mutex);
    std::chrono::steady_clock::time_point stopBy{};
    for (;;) {
        wake.wait(lock, [this] { return stopping || !frames.empty() || capCheck; });
        if (stopping) {
            // Pictures still queued are written while that is quick; the
            // rest are dropped, so that destruction keeps its time.
            if (stopBy == std::chrono::steady_clock::time_point{})
                stopBy = std::chrono::steady_clock::now() + stopWithin / 2;
            if (frames.empty() || std::chrono::steady_clock::now() >= stopBy)
                return;
        }
        const WriterFolder current = folder;
        if (frames.empty()) {
            capCheck = false;
            lock.unlock();
            EnforceCap(current, std::string());
            lock.lock();
            continue;
        }
        const Frame frame = std::move(frames.front());
        frames.pop_front();
        lock.unlock();
        try {
            WriteOne(frame, current);
        } catch (const std::exception& error) {
            Status("Picture " + frame.name + " dropped: " + error.what());
        }
        lock.lock();
        if (frames.empty() && overflowDrops > 0) {
            const std::size_t dropped = std::exchange(overflowDrops, 0);
            lock.unlock();
            Status(std::to_string(dropped) + " pictures dropped: they came faster than the disk took them");
            lock.lock();
        }
    }
}

void PictureWriter::WriteOne(const Frame& frame, const WriterFolder& where)
{
    if (!IsBaseName(frame.name)) {
        Status("A picture was dropped: \"" + frame.name + "\" is not a picture name");
        return;
    }
    // Camera names come from a settings file.
    if (!frame.camera.empty() && !IsCameraName(frame.camera)) {
        Status("Picture " + frame.name + " dropped: \"" + frame.camera + "\" cannot name a camera's folder");
        return;
    }
    std::vector<uint8_t> jpeg;
    if (!frame.picture || !encoder.Encode(*frame.picture, jpeg)) {
        const std::string size = frame.picture ? std::to_string(frame.picture->Width()) + " x "
                                                     + std::to_string(frame.picture->Height())
                                               : std::string("missing");
        Status("Picture " + frame.name + " dropped: a " + size + " picture cannot be encoded");
        return;
    }
    const std::string dir = CameraDir(where.path, frame.camera);
    const std::string pending = PendingDir(dir);
    WriteResult written;
    written.error = EnsureFolder(where.path, where.isDefault, frame.camera, frame.waitsForDrive);
    if (written.error == 0) {
        written = frame.waitsForDrive ? WritePicture(pending, dir, frame.name, jpeg)
                                      : WritePicture(dir, pending, frame.name, jpeg);
    }
    if (written.error != 0)
        NotWritten(frame, std::move(jpeg), dir, written.error);
    else
        Written(frame, where, dir, written.file);
}

void PictureWriter::Written(const Frame& frame, const WriterFolder& where, const std::string& dir,
                            const PictureFile& file)
{
    std::printf("[Pictures] Saved %s\n", file.name.c_str());
    std::fflush(stdout);
    if (trouble != Trouble::None) {
        Status("Pictures are kept in " + dir + " again"
               + (lost > 0 ? "; " + std::to_string(lost) + " were lost meanwhile" : std::string()));
        trouble = Trouble::None;
        lost = 0;
        heldOverflowReported = false;
    }
    const KeptPicture picture{frame.waitsForDrive ? PictureKind::Waiting : PictureKind::KeptOnly, frame.camera,
                              file, 0};
    queue.AddWritten(where.path, picture);
    if (frame.waitsForDrive) {
        hooks.wakeCourier();
        queue.ReportCount();
        Delivering(frame);
    }
    EnforceCap(where, FolderPath(picture));
}

void PictureWriter::NotWritten(const Frame& frame, std::vector<uint8_t> jpeg, const std::string& dir, int error)
{
    const bool toDrive = frame.waitsForDrive && hooks.driveConnected();
    const Trouble now = toDrive ? Trouble::DriveOnly : Trouble::Losing;
    if (trouble != now) {
        const std::string cannot = "Pictures cannot be kept in " + dir + " (" + ErrorText(error) + ")";
        Status(toDrive ? cannot + ": they go to Google Drive only"
                       : cannot + " and Google Drive is not connected: they are lost");
    }
    trouble = now;
    if (!toDrive) {
        Lost(frame.name);
        return;
    }
    const std::vector<std::string> dropped = queue.Hold(frame.camera, frame.name, std::move(jpeg));
    hooks.wakeCourier();
    queue.ReportCount();
    Delivering(frame);
    for (const std::string& name : dropped)
        Lost(name);
    if (!dropped.empty() && !heldOverflowReported) {
        Status("Too many pictures wait in memory for Google Drive: the oldest are lost");
        heldOverflowReported = true;
    }
}

void PictureWriter::EnforceCap(const WriterFolder& where, const std::string& sparedPath)
{
    std::size_t removedWaiting = 0;
    for (const KeptPicture& picture : queue.TakeOverCap(where.path, where.capBytes, sparedPath)) {
        const bool removed = unlink((where.path + "/" + FolderPath(picture)).c_str()) == 0;
        if (removed || errno == ENOENT)
            queue.Removed(where.path, picture);
        else
            queue.PutBack(where.path, picture);
        removedWaiting += removed && picture.kind == PictureKind::Waiting;
    }
    if (removedWaiting > 0) {
        queue.ReportCount();
        Status("Picture folder full: removed " + std::to_string(removedWaiting)
               + " pictures not yet in Google Drive");
    }
}

}  // namespace pictures
