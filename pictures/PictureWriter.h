#pragma once

// The picture folder's writer thread: encodes each picture, writes it into
// its camera's folder (pending/ when it waits for Drive) under a free name,
// holds it in memory for Drive when it cannot be written, and keeps the
// folder within its cap.

#include "JpegEncoder.h"
#include "WaitingQueue.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pictures {

struct WriterFolder {
    std::string path;
    bool isDefault = false;
    uint64_t capBytes = 0;
};

struct Frame {
    std::unique_ptr<PictureSource> picture;
    std::string name;
    std::string camera;
    bool waitsForDrive = false;
};

class PictureWriter {
public:
    // Called on the writer's thread; none may block.
    struct Hooks {
        std::function<void(const std::string& text)> status;
        std::function<void(const std::string& name, const std::string& camera)> delivering;
        std::function<bool()> driveConnected;
        std::function<void()> wakeCourier;
    };

    // Within `stopWithin` / 2 of Stop() it writes what is queued; the rest
    // is dropped.
    PictureWriter(WaitingQueue& queue, Hooks hooks, WriterFolder folder, std::chrono::milliseconds stopWithin);
    ~PictureWriter();

    PictureWriter(const PictureWriter&) = delete;
    PictureWriter& operator=(const PictureWriter&) = delete;

    // Starts the thread; std::system_error when it cannot.
    void Start();
    void RequestStop();
    void Stop();

    // Any thread; never blocks for long. Beyond 8 queued frames the oldest
    // is dropped and counted.
    void Keep(Frame frame);
    // Any thread: where pictures go from now on; the cap is checked.
    void Apply(WriterFolder folder);
    // Any thread: checks the cap soon (the delivering instance has listed
    // the folder).
    void CheckCap();

private:
    enum class Trouble { None, DriveOnly, Losing };

    void Loop();
    void WriteOne(const Frame& frame, const WriterFolder& where);
    void Written(const Frame& frame, const WriterFolder& where, const std::string& dir, const PictureFile& file);
    void NotWritten(const Frame& frame, std::vector<uint8_t> jpeg, const std::string& dir, int error);
    void EnforceCap(const WriterFolder& where, const std::string& sparedPath);
    void Delivering(const Frame& frame);
    void Lost(const std::string& name);
    void Status(const std::string& text);

    WaitingQueue& queue;
    const Hooks hooks;
    const std::chrono::milliseconds stopWithin;

    std::mutex mutex;  // guards what follows, down to the writer's own state
    std::condition_variable wake;
    WriterFolder folder;
    bool stopping = false;
    std::deque<Frame> frames;
    std::size_t overflowDrops = 0;
    bool capCheck = false;

    // The writer's thread only.
    JpegEncoder encoder;
    Trouble trouble = Trouble::None;  // this episode of pictures not written
    std::size_t lost = 0;             // in this episode
    bool heldOverflowReported = false;

    std::thread thread;
};

}  // namespace pictures
