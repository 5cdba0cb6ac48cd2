#pragma once

// Shared by the picture folder's tests: a temporary folder of their own, frames,
// the folder's reports, and a scripted Drive behind the sender seam.

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
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using TestClock = std::chrono::steady_clock;

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

// RGB noise, so that JPEGs are big enough to take a while to write.
inline std::vector<uint8_t> Rgb(int width, int height, uint32_t seed = 1)
{
    std::vector<uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    for (uint8_t& value : rgb) {
        seed = seed * 1664525u + 1013904223u;
        value = static_cast<uint8_t>(seed >> 24);
    }
    return rgb;
}

inline std::string PictureName(int second)
{
    const std::string seconds = std::to_string(100 + second % 100).substr(1);
    return "motion_20240501_1200" + seconds + ".jpg";
}

template <class Done>
bool WaitFor(Done done, std::chrono::milliseconds within = 10s)
{
    const auto until = TestClock::now() + within;
    while (!done()) {
        if (TestClock::now() > until)
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

inline PictureTimings TinyTimings()
{
    PictureTimings timings;
    timings.firstRetry = 40ms;
    timings.longestRetry = 80ms;
    timings.minInterval = 5ms;
    timings.stopWithin = 1000ms;
    timings.rescan = 50ms;
    return timings;
}

// What the folder reported through its events.
struct Reports {
    std::mutex mutex;
    std::vector<std::string> statuses;
    std::vector<std::size_t> counts;

    PictureEvents Events()
    {
        return PictureEvents{[this](const std::string& text) {
                                 std::lock_guard<std::mutex> lock(mutex);
                                 statuses.push_back(text);
                             },
                             [this](std::size_t waiting) {
                                 std::lock_guard<std::mutex> lock(mutex);
                                 counts.push_back(waiting);
                             }};
    }
    std::size_t StatusesWith(const std::string& part)
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::size_t found = 0;
        for (const std::string& status : statuses)
            found += status.find(part) != std::string::npos;
        return found;
    }
    // The first count comes once the folder has been read at start.
    bool Started()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return !counts.empty();
    }
};

// Drive behind the sender seam: answers from a script (Delivered once it runs
// out), or blocks on one picture until released or cancelled.
struct FakeDrive {
    struct Call {
        std::string name;
        bool lookUpFirst;
        bool isJpeg;
        TestClock::time_point at;
    };

    std::mutex mutex;
    std::condition_variable released;
    std::vector<Call> calls;
    std::deque<DeliveryOutcome> script;
    std::string blockOn;  // this picture's send waits for Release() or cancel
    bool isReleased = false;

    PictureSender Sender()
    {
        return [this](const std::vector<uint8_t>& jpeg, const std::string& name, bool lookUpFirst,
                      const std::atomic<bool>& cancel) {
            std::unique_lock<std::mutex> lock(mutex);
            const bool isJpeg = jpeg.size() > 4 && jpeg[0] == 0xFF && jpeg[1] == 0xD8
                                && jpeg[jpeg.size() - 2] == 0xFF && jpeg.back() == 0xD9;
            calls.push_back(Call{name, lookUpFirst, isJpeg, TestClock::now()});
            if (name == blockOn) {
                while (!isReleased && !cancel)
                    released.wait_for(lock, 1ms);
                return DeliveryResult{cancel ? DeliveryOutcome::Cancelled : DeliveryOutcome::NotSent, {}};
            }
            if (script.empty())
                return DeliveryResult{DeliveryOutcome::Delivered, {}};
            const DeliveryOutcome outcome = script.front();
            script.pop_front();
            return DeliveryResult{outcome, outcome == DeliveryOutcome::Delivered ? "" : "trouble"};
        };
    }
    std::vector<Call> Calls()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    void Release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        isReleased = true;
        released.notify_all();
    }
};

inline PictureSettings SettingsFor(const std::string& folder, bool keepDelivered = true)
{
    PictureSettings settings;
    settings.folder = folder;
    settings.keepDelivered = keepDelivered;
    return settings;
}
