// Work per picture with few and with many pictures already kept: bytes
// written and CPU time while the picture folder delivers a batch of waiting
// pictures to an instant Drive, then while it keeps pictures taken one after
// another (encoding included). Run by hand (see README.md):
//
//   orvanta_bench_pictures [--dir DIR] [--deliver N] [KEPT...]    (KEPT: 10 20000)
//
// The folder is made up on disk under DIR (default /var/tmp, a disk rather
// than memory): KEPT pictures already delivered, as a long run leaves them,
// and N waiting in pending/. Figures are this process's own, from
// /proc/self/io and getrusage, on standard error (the folder's own lines go
// to standard output).

#include "JpegEncoder.h"
#include "PictureFolder.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace {

// Waits end at once at their deadline: pacing and rescans come as often per
// picture as at real speed without being waited for. Once the batch is
// delivered the delivery thread sleeps until it is woken.
class InstantClock : public DeliveryClock {
public:
    TimePoint Now() override
    {
        std::lock_guard<std::mutex> lock(mutex);
        return now;
    }
    void WaitUntil(TimePoint until) override
    {
        std::unique_lock<std::mutex> lock(mutex);
        woke.wait(lock, [&] { return woken || !resting; });
        if (!woken && until > now)
            now = until;
        woken = false;
    }
    void Wake() override
    {
        std::lock_guard<std::mutex> lock(mutex);
        woken = true;
        woke.notify_all();
    }
    void Rest(bool rest)
    {
        std::lock_guard<std::mutex> lock(mutex);
        resting = rest;
        woke.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable woke;
    TimePoint now = TimePoint(std::chrono::hours(24));
    bool woken = false;
    bool resting = true;
};

struct Usage {
    uint64_t residentKiB = 0;
    uint64_t writeBytes = 0;  // sent to the storage layer (pages dirtied)
    uint64_t writeCalls = 0;  // bytes handed to write()
    uint64_t readCalls = 0;   // bytes read()
    double cpuSeconds = 0;
    double wallSeconds = 0;
};

Usage Measure()
{
    Usage usage;
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "write_bytes:")
            usage.writeBytes = value;
        else if (key == "wchar:")
            usage.writeCalls = value;
        else if (key == "rchar:")
            usage.readCalls = value;
    }
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            usage.residentKiB = std::strtoull(line.c_str() + 6, nullptr, 10);
    }
    rusage self {};
    getrusage(RUSAGE_SELF, &self);
    usage.cpuSeconds = static_cast<double>(self.ru_utime.tv_sec + self.ru_stime.tv_sec)
                       + static_cast<double>(self.ru_utime.tv_usec + self.ru_stime.tv_usec) / 1e6;
    usage.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    return usage;
}

std::string NameAt(time_t second)
{
    tm parts {};
    gmtime_r(&second, &parts);
    char name[32];
    std::strftime(name, sizeof name, "motion_%Y%m%d_%H%M%S.jpg", &parts);
    return name;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes, time_t modified)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    const timespec times[2] = {{0, UTIME_OMIT}, {modified, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

constexpr time_t kStart = 1700000000;
constexpr int kWritten = 200;

// A 320 x 240 frame of noise (as a JPEG's 4:2:0 planes), which compresses as
// badly as a busy scene.
std::vector<uint8_t> SamplePlanes()
{
    std::vector<uint8_t> planes(320 * 240 * 3 / 2);
    uint32_t seed = 1;
    for (uint8_t& value : planes) {
        seed = seed * 1664525u + 1013904223u;
        value = static_cast<uint8_t>(seed >> 24);
    }
    return planes;
}

// A folder as a long run leaves it: `kept` pictures Drive holds (small files:
// their size does not matter here), `waiting` ones in pending/.
void MakeFolder(const std::string& folder, int kept, int waiting, const std::vector<uint8_t>& jpeg)
{
    std::filesystem::create_directories(folder + "/pending");
    const time_t start = kStart;
    const std::vector<uint8_t> small(2048, 0x55);
    std::string delivered;
    for (int i = 0; i < kept; ++i) {
        WriteFile(folder + "/" + NameAt(start + i), small, start + i);
        delivered += std::string(i == 0 ? "" : ",") + "\"" + NameAt(start + i) + "\"";
    }
    for (int i = 0; i < waiting; ++i)
        WriteFile(folder + "/pending/" + NameAt(start + kept + i), jpeg, start + kept + i);
    std::ofstream(folder + "/.orvanta-pictures.json") << "{\"delivered\":[" << delivered << "],\"lookUp\":[]}\n";
}

void Run(const std::string& base, int kept, int waiting, const std::vector<uint8_t>& jpeg)
{
    std::string root = base + "/orvanta-bench-XXXXXX";
    if (mkdtemp(root.data()) == nullptr) {
        std::perror(base.c_str());
        std::exit(1);
    }
    const std::string folder = root + "/Orvanta";
    MakeFolder(folder, kept, waiting, jpeg);
    sync();

    std::mutex mutex;
    std::condition_variable changed;
    std::size_t count = SIZE_MAX;
    std::size_t written = 0;
    PictureEvents events;
    events.waitingChanged = [&](std::size_t waitingNow) {
        std::lock_guard<std::mutex> lock(mutex);
        count = waitingNow;
        changed.notify_all();
    };
    events.delivering = [&](const std::string&, const std::string&) {
        std::lock_guard<std::mutex> lock(mutex);
        ++written;
        changed.notify_all();
    };
    const auto instantDrive = [](const std::vector<uint8_t>&, const std::string&, const std::string&, bool,
                                 const std::atomic<bool>&) { return DeliveryResult{DeliveryOutcome::Delivered, {}}; };
    PictureSettings settings;
    settings.folder = folder;
    settings.capBytes = uint64_t{1} << 40;
    const auto clock = std::make_shared<InstantClock>();
    {
        const Usage opening = Measure();
        PictureFolder pictures(settings, instantDrive, events, PictureTimings(), clock);
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return count == static_cast<std::size_t>(waiting); });
        const Usage before = Measure();
        clock->Rest(false);
        pictures.SetDriveConnected(true);
        changed.wait(lock, [&] { return count == 0; });
        const Usage after = Measure();
        clock->Rest(true);
        pictures.SetDriveConnected(false);
        // Then pictures taken one after another: encoded, written, the cap.
        const std::vector<uint8_t> planes = SamplePlanes();
        for (int i = 0; i < kWritten; ++i) {
            lock.unlock();
            pictures.Keep(std::make_unique<pictures::PackedPlanes>(planes, 320, 240), NameAt(kStart + kept + waiting + i), std::string(), true);
            lock.lock();
            changed.wait(lock, [&] { return written == static_cast<std::size_t>(i + 1); });
        }
        const Usage taken = Measure();
        lock.unlock();
        std::fprintf(stderr,
                     "%6d kept | start %6.1f ms CPU %6.0f KiB, resident +%5.0f KiB | per delivered picture %5.1f KiB "
                     "(%4.0f B to write()) %5.3f ms CPU | per picture taken %5.1f KiB %5.3f ms CPU\n",
                     kept, (before.cpuSeconds - opening.cpuSeconds) * 1e3,
                     static_cast<double>(before.writeBytes - opening.writeBytes) / 1024,
                     static_cast<double>(before.residentKiB) - static_cast<double>(opening.residentKiB),
                     static_cast<double>(after.writeBytes - before.writeBytes) / 1024 / waiting,
                     static_cast<double>(after.writeCalls - before.writeCalls) / waiting,
                     (after.cpuSeconds - before.cpuSeconds) * 1e3 / waiting,
                     static_cast<double>(taken.writeBytes - after.writeBytes) / 1024 / kWritten,
                     (taken.cpuSeconds - after.cpuSeconds) * 1e3 / kWritten);
    }
    std::filesystem::remove_all(root);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string dir = "/var/tmp";
    int waiting = 400;
    std::vector<int> kept;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc)
            dir = argv[++i];
        else if (std::strcmp(argv[i], "--deliver") == 0 && i + 1 < argc)
            waiting = std::atoi(argv[++i]);
        else
            kept.push_back(std::atoi(argv[i]));
    }
    if (kept.empty())
        kept = {10, 20000};
    if (waiting < 1) {
        std::fprintf(stderr, "usage: %s [--dir DIR] [--deliver N] [KEPT...]\n", argv[0]);
        return 2;
    }
    std::vector<uint8_t> jpeg;
    pictures::PackedPlanes sample(SamplePlanes(), 320, 240);
    pictures::JpegEncoder().Encode(sample, jpeg);
    std::fprintf(stderr, "%d waiting pictures of %zu bytes delivered to an instant Drive, in %s\n", waiting,
                 jpeg.size(), dir.c_str());
    for (int count : kept)
        Run(dir, count, waiting, jpeg);
    return 0;
}
