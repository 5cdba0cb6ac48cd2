#pragma once

// Shared by the picture folder's tests: a temporary folder of their own, frames,
// the folder's reports, fake time for the delivery, and a scripted Drive
// behind the sender seam.

#include "PictureFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using TimePoint = DeliveryClock::TimePoint;

// How long a test waits for another thread before it fails: long enough
// never to decide anything on a loaded machine.
constexpr auto kPatience = 30s;

// A folder for one test, removed with everything in it.
struct TempDir {
    explicit TempDir(const std::string& base = "/tmp")
    {
        std::string path = base + "/orvanta-pictures-XXXXXX";
        if (mkdtemp(path.data()) != nullptr)
            root = path;
    }
    ~TempDir()
    {
        if (root.empty())
            return;
        std::error_code ignored;
        for (const auto& entry : fs::recursive_directory_iterator(root, ignored))
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(root, ignored);
    }
    std::string root;
};

// Noise in a JPEG's planes (4:2:0: luma, then Cb and Cr at half size), so
// that JPEGs are big enough to take a while to write.
// Planes held whole, as the picture folder takes a picture.
inline std::unique_ptr<pictures::PictureSource> Packed(std::vector<uint8_t> planes, int width, int height)
{
    return std::make_unique<pictures::PackedPlanes>(std::move(planes), width, height);
}

inline std::vector<uint8_t> Planes(int width, int height, uint32_t seed = 1)
{
    const std::size_t chroma = static_cast<std::size_t>((width + 1) / 2) * ((height + 1) / 2);
    std::vector<uint8_t> planes(static_cast<std::size_t>(width) * height + 2 * chroma);
    for (uint8_t& value : planes) {
        seed = seed * 1664525u + 1013904223u;
        value = static_cast<uint8_t>(seed >> 24);
    }
    return planes;
}

inline std::string PictureName(int second)
{
    const std::string seconds = std::to_string(100 + second % 100).substr(1);
    return "motion_20240501_1200" + seconds + ".jpg";
}

// Polls for what no event tells (pictures that are only kept).
template <class Done>
bool WaitFor(Done done)
{
    const auto until = std::chrono::steady_clock::now() + kPatience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Picture files (motion_*.jpg) in `dir`.
inline std::set<std::string> Pictures(const std::string& dir)
{
    std::set<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(dir, ignored)) {
        const std::string name = entry.path().filename();
        if (name.rfind("motion_", 0) == 0)
            names.insert(name);
    }
    return names;
}

// Something other threads change, and a test waits for.
class Watched {
public:
    // Waits until `done()` holds; false when it did not within kPatience.
    template <class Done>
    bool Await(Done done)
    {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        for (;;) {
            uint64_t seen = 0;
            {
                std::lock_guard<std::mutex> lock(mutex);
                seen = version;
            }
            if (done())
                return true;
            std::unique_lock<std::mutex> lock(mutex);
            if (!changed.wait_until(lock, deadline, [&] { return version != seen; }))
                return done();
        }
    }

protected:
    template <class Change>
    void Update(Change change)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            change();
            ++version;
        }
        changed.notify_all();
    }
    mutable std::mutex mutex;

private:
    std::condition_variable changed;
    uint64_t version = 0;
};

// What the folder reported through its events.
class Reports : public Watched {
public:
    PictureEvents Events()
    {
        PictureEvents events;
        events.status = [this](const std::string& text) { Update([&] { statuses.push_back(text); }); };
        events.waitingChanged = [this](std::size_t waiting) { Update([&] { counts.push_back(waiting); }); };
        events.delivering = [this](const std::string& name, const std::string& camera) {
            Update([&] { delivering.emplace_back(name, camera); });
        };
        return events;
    }
    std::size_t StatusesWith(const std::string& part) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::size_t found = 0;
        for (const std::string& status : statuses)
            found += status.find(part) != std::string::npos;
        return found;
    }
    // The first count comes once the folder has been read at start.
    bool Started() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return !counts.empty();
    }
    std::vector<std::size_t> Counts() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return counts;
    }
    std::vector<std::pair<std::string, std::string>> Delivering() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return delivering;
    }

private:
    std::vector<std::string> statuses;
    std::vector<std::size_t> counts;
    std::vector<std::pair<std::string, std::string>> delivering;
};

// Time that passes only when the test says so, and then only as fast as the
// delivery thread gets through what each moment asks of it.
class FakeClock : public DeliveryClock {
public:
    TimePoint Now() override
    {
        std::lock_guard<std::mutex> lock(mutex);
        return now;
    }
    void WaitUntil(TimePoint until) override
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!woken && now < until) {
            waitingUntil = until;
            waiting = true;
            changed.notify_all();
            changed.wait(lock, [&] { return woken || now >= until; });
            waiting = false;
        }
        woken = false;
    }
    void Wake() override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            woken = true;
        }
        changed.notify_all();
    }
    // Lets `span` pass; the delivery thread is idle when it returns. False
    // when the thread never became idle.
    bool RunFor(std::chrono::milliseconds span)
    {
        std::unique_lock<std::mutex> lock(mutex);
        const TimePoint end = now + span;
        for (;;) {
            if (!changed.wait_for(lock, kPatience, [&] { return waiting && !woken; }))
                return false;
            if (waitingUntil > end) {
                now = end;
                return true;
            }
            now = waitingUntil;
            waiting = false;
            changed.notify_all();
        }
    }
    TimePoint Start() const { return start; }

private:
    std::mutex mutex;
    std::condition_variable changed;
    const TimePoint start = TimePoint(24h);
    TimePoint now = start;
    TimePoint waitingUntil{};
    bool waiting = false;
    bool woken = false;
};

// Drive behind the sender seam: answers from a script (Delivered once it runs
// out), or blocks on one picture until the send is cancelled.
class FakeDrive : public Watched {
public:
    struct Call {
        std::string name;
        std::string camera;
        bool lookUpFirst;
        bool isJpeg;
        TimePoint at;
        DeliveryOutcome outcome;
    };

    explicit FakeDrive(std::shared_ptr<FakeClock> clock = nullptr) : clock(std::move(clock)) {}

    PictureSender Sender()
    {
        return [this](const std::vector<uint8_t>& jpeg, const std::string& name, const std::string& camera,
                      bool lookUpFirst, const std::atomic<bool>& cancel) {
            const bool isJpeg = jpeg.size() > 4 && jpeg[0] == 0xFF && jpeg[1] == 0xD8
                                && jpeg[jpeg.size() - 2] == 0xFF && jpeg.back() == 0xD9;
            DeliveryOutcome outcome = DeliveryOutcome::Delivered;
            bool blocks = false;
            Update([&] {
                blocks = name == blockOn;
                if (blocks)
                    outcome = DeliveryOutcome::Cancelled;
                else if (!script.empty()) {
                    outcome = script.front();
                    script.pop_front();
                }
                calls.push_back(Call{name, camera, lookUpFirst, isJpeg, clock ? clock->Now() : TimePoint(), outcome});
            });
            while (blocks && !cancel)
                std::this_thread::sleep_for(1ms);
            return DeliveryResult{outcome, outcome == DeliveryOutcome::Delivered ? "" : "trouble"};
        };
    }
    std::vector<Call> Calls() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    void Script(std::vector<DeliveryOutcome> outcomes, std::string blocking = std::string())
    {
        Update([&] {
            script.assign(outcomes.begin(), outcomes.end());
            blockOn = std::move(blocking);
        });
    }
    // Names of the calls that stored a picture.
    std::multiset<std::string> Stored() const
    {
        std::multiset<std::string> names;
        for (const Call& call : Calls()) {
            if (call.outcome == DeliveryOutcome::Delivered)
                names.insert(call.name);
        }
        return names;
    }

private:
    std::shared_ptr<FakeClock> clock;
    std::vector<Call> calls;
    std::deque<DeliveryOutcome> script;
    std::string blockOn;  // this picture's send waits for cancel
};

inline PictureSettings SettingsFor(const std::string& folder, bool keepDelivered = true)
{
    PictureSettings settings;
    settings.folder = folder;
    settings.keepDelivered = keepDelivered;
    return settings;
}

inline PictureTimings QuickStop()
{
    PictureTimings timings;
    timings.stopWithin = 1000ms;
    return timings;
}
