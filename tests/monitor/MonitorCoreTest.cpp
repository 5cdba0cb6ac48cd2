#include "FakeTime.h"
#include "MonitorCore.h"
#include "TestFrames.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <utility>

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;

namespace {

constexpr int kWidth = 160, kHeight = 120;
const std::string kUrlA = "rtsp://camera.test/a", kUrlB = "rtsp://camera.test/b";
const std::string kRefused = "Unable to open stream: Connection refused";
const std::string kReconnecting = "Stream stopped \u2014 reconnecting in ";
const auto kWallStart = std::chrono::system_clock::from_time_t(1709647500);  // 2024-03-05 14:05:00 UTC

// What the fakes record and the test drives; outlives the core. The test's
// thread plays both the controller thread and the decoder thread.
struct World : FakeTime, MonitorObserver {
    std::deque<std::function<void()>> posts;
    bool running = false, ended = false, refuseNextStart = false;
    std::vector<int> startsAt;  // seconds
    FrameCallback onFrame;
    StatusCallback onStatus;
    EndedCallback onEnded;
    int level = 20;  // brightness of the last frame
    int previews = 0;
    std::function<void()> wake;
    struct Note { int at; std::string summary, body, key; };
    std::vector<Note> notes;
    std::vector<std::string> statuses, pictures;
    bool picturesWholeAndMarked = true;
    int previewsWithMotion = 0;

    void OnStatus(const std::string& text) override { statuses.push_back(text); }
    void OnFrame(VideoFrame frame, const MotionResult& motion) override
    {
        EXPECT_EQ(frame.Width(), kWidth) << "previewed as decoded";
        ++previews;
        previewsWithMotion += motion.motion && !motion.boxes.empty();
    }

    void Drain() override
    {
        for (; !posts.empty(); posts.pop_front())
            std::function<void()>(std::move(posts.front()))();
    }
    // A frame of one grey level: a moving one differs from the last in every pixel.
    void Frame(bool moving)
    {
        ASSERT_TRUE(running && !ended) << "no stream delivers at " << now.count() << " ms";
        level = moving ? 240 - level : level;
        onFrame(UniformFrame(kWidth, kHeight, LimitedLuma(level)));
    }
    void End()
    {
        ASSERT_TRUE(running && !ended) << "no stream to end at " << now.count() << " ms";
        ended = true;
        onStatus(kRefused);
        onEnded();
    }
};

struct FakeSource : StreamSource {
    explicit FakeSource(World& world) : world(world) {}
    void Start(std::string, FrameCallback onFrame, StatusCallback onStatus, EndedCallback onEnded) override
    {
        if (std::exchange(world.refuseNextStart, false))
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        EXPECT_FALSE(world.running) << "a second stream at " << world.now.count() << " ms";
        world.running = true;
        world.ended = false;
        world.startsAt.push_back(static_cast<int>(world.now / 1s));
        world.onFrame = std::move(onFrame);
        world.onStatus = std::move(onStatus);
        world.onEnded = std::move(onEnded);
    }
    void Stop() override { world.running = false; }
    bool IsRunning() const override { return world.running; }
    World& world;
};

enum class Op { Start, Fail, Still, Move, Stream, Wait, Url, On, Off, Wake, Exit, Close, Refuse, Settings,
                Active, Inactive, Disable };
struct Step { Op op; int value = 0; };
const Step Start{Op::Start}, Fail{Op::Fail}, Still{Op::Still}, Move{Op::Move}, Url{Op::Url}, On{Op::On},
    Off{Op::Off}, Wake{Op::Wake}, Exit{Op::Exit}, Close{Op::Close}, Refuse{Op::Refuse}, Settings{Op::Settings},
    Active{Op::Active}, Inactive{Op::Inactive}, Disable{Op::Disable};
const Step FailUnheard{Op::Fail, 1};  // the next step comes before the controller hears of the end
Step Wait(int seconds) { return {Op::Wait, seconds}; }
Step Stream(int seconds) { return {Op::Stream, seconds}; }  // still frames every second

// One core on fakes, driven by a list of steps.

// A picture's planes, packed, read in bands of `bandRows` (even) from the top.
std::vector<uint8_t> ReadPicture(pictures::PictureSource& picture, int bandRows)
{
    const int width = picture.Width(), height = picture.Height(), chromaWidth = (width + 1) / 2;
    std::vector<uint8_t> luma, cb, cr;
    for (int top = 0; top < height; top += bandRows) {
        const int rows = std::min(bandRows, height - top), chromaRows = (top + rows + 1) / 2 - top / 2;
        std::vector<uint8_t> band(std::size_t(width) * rows + 2 * std::size_t(chromaWidth) * chromaRows);
        uint8_t* const bandCb = band.data() + std::size_t(width) * rows;
        uint8_t* const bandCr = bandCb + std::size_t(chromaWidth) * chromaRows;
        if (!picture.Fill({top, rows, band.data(), width, bandCb, bandCr, chromaWidth}))
            return {};
        luma.insert(luma.end(), band.data(), bandCb);
        cb.insert(cb.end(), bandCb, bandCr);
        cr.insert(cr.end(), bandCr, band.data() + band.size());
    }
    luma.insert(luma.end(), cb.begin(), cb.end());
    luma.insert(luma.end(), cr.begin(), cr.end());
    return luma;
}

struct Harness {
    explicit Harness(bool reconnect)
    {
        setenv("TZ", "UTC", 1);
        tzset();
        MonitorDependencies deps;
        deps.scheduler = std::make_unique<FakeScheduler>(world);
        deps.post = [this](std::function<void()> call) { world.posts.push_back(std::move(call)); };
        deps.steadyNow = [this] { return std::chrono::steady_clock::time_point(world.now); };
        deps.wallNow = [this] { return kWallStart + world.now; };
        deps.source = std::make_unique<FakeSource>(world);
        deps.takeSleepLock = [this] { return std::make_unique<FakeLock>(world); };
        deps.registerWake = [this](std::function<void()> onWake) {
            world.wake = std::move(onWake);
            return std::make_unique<Holding>();
        };
        deps.notify = [this](const std::string& summary, const std::string& body, const std::string& key) {
            world.notes.push_back({static_cast<int>(world.now / 1s), summary, body, key});
        };
        deps.handOff = [this](std::unique_ptr<pictures::PictureSource> picture, const std::string& name) {
            world.pictures.push_back(name);
            const int width = picture->Width(), height = picture->Height();
            const std::size_t lumaBytes = std::size_t(kWidth) * kHeight;
            // Read as the encoder reads it, and whole: the marks are the same.
            const std::vector<uint8_t> planes = ReadPicture(*picture, 16);
            const bool whole = width == kWidth && height == kHeight && planes.size() == lumaBytes * 3 / 2 &&
                               planes == ReadPicture(*picture, height);
            bool marked = false;  // a pixel of the detector's box colour, (255, 64, 64), as a JPEG decodes it
            for (int y = 0; whole && y < height && !marked; ++y) {
                for (int x = 0; x < width && !marked; ++x) {
                    const std::size_t chroma = std::size_t(y / 2) * (width / 2) + x / 2;
                    const double luma = planes[std::size_t(y) * width + x];
                    const double cb = planes[lumaBytes + chroma] - 128.0;
                    const double cr = planes[lumaBytes * 5 / 4 + chroma] - 128.0;
                    marked = std::abs(luma + 1.402 * cr - 255) < 3 &&
                             std::abs(luma - 0.344136 * cb - 0.714136 * cr - 64) < 3 &&
                             std::abs(luma + 1.772 * cb - 64) < 3;
                }
            }
            world.picturesWholeAndMarked = world.picturesWholeAndMarked && whole && marked;
        };
        core = std::make_unique<MonitorCore>(kUrlA, world, std::move(deps));
        core->SetReconnect(reconnect);
    }

    void Run(const std::vector<Step>& steps)
    {
        for (const Step& step : steps) {
            switch (step.op) {
            case Op::Start: core->StartStream(); break;
            case Op::Fail: ASSERT_NO_FATAL_FAILURE(world.End()); break;
            case Op::Still: ASSERT_NO_FATAL_FAILURE(world.Frame(false)); break;
            case Op::Move: ASSERT_NO_FATAL_FAILURE(world.Frame(true)); break;
            case Op::Stream:
                for (int second = 0; second < step.value; ++second) {
                    ASSERT_NO_FATAL_FAILURE(world.Frame(false));
                    world.Drain();
                    world.Advance(1s);
                }
                ASSERT_NO_FATAL_FAILURE(world.Frame(false));
                break;
            case Op::Wait: world.Advance(std::chrono::seconds(step.value)); break;
            case Op::Url: core->SetUrl(core->Url() == kUrlA ? kUrlB : kUrlA); break;
            case Op::On: core->SetReconnect(true); break;
            case Op::Off: core->SetReconnect(false); break;
            case Op::Wake: ASSERT_TRUE(world.wake) << "not registered for wakes"; world.wake(); break;
            case Op::Exit:
                core.reset();
                EXPECT_TRUE(world.timers.empty()) << "a scheduled call outlived the core";
                break;
            case Op::Close: core->Shutdown(); break;
            case Op::Refuse: world.refuseNextStart = true; break;
            case Op::Settings:
                core->SetNotificationsEnabled(false);
                core->SetReconnect(true);
                break;
            case Op::Active: core->SetWindowActive(true); break;
            case Op::Inactive: core->SetWindowActive(false); break;
            case Op::Disable: core->SetNotificationsEnabled(false); break;
            }
            if (!(step.op == Op::Fail && step.value == 1))
                world.Drain();
        }
    }

    World world;
    std::unique_ptr<MonitorCore> core;  // declared last: goes before the world
};

}  // namespace

TEST(Monitor, ReconnectsWithGrowingWaitsOnOneStreamAndOneSleepLock)
{
    struct Case {
        const char* name;
        bool reconnect;
        std::vector<Step> steps;
        std::vector<int> startsAt;
        std::vector<int> waits;  // N of each "reconnecting in N s..."
        int takes, liveLocks;
        std::string lastStatus;  // empty: not checked
    };
    const Case cases[] = {
        {"off by default: the ended stream stays held with its lock", false, {Start, Fail, Wait(120), Start},
         {0}, {}, 1, 1, kRefused},
        {"waits double from 5 s up to 60 s", true,
         {Start, Fail, Wait(5), Fail, Wait(10), Fail, Wait(20), Fail, Wait(40), Fail, Wait(60), Fail, Wait(60)},
         {0, 5, 15, 35, 75, 135, 195}, {5, 10, 20, 40, 60, 60}, 1, 1, ""},
        {"a minute of streaming starts the waits over", true,
         {Start, Fail, Wait(5), Fail, Wait(10), Stream(60), Fail, Wait(5)}, {0, 5, 15, 80}, {5, 10, 5}, 1, 1, ""},
        {"59 s of streaming does not", true,
         {Start, Fail, Wait(5), Fail, Wait(10), Stream(59), Fail, Wait(20)}, {0, 5, 15, 94}, {5, 10, 20}, 1, 1, ""},
        {"a URL change starts at once and starts the waits over", true,
         {Start, Fail, Wait(5), Fail, Wait(3), Url, Fail, Wait(5)}, {0, 5, 8, 13}, {5, 10, 5}, 2, 1, ""},
        {"other settings leave a waiting retry alone", true, {Start, Fail, Wait(2), Settings, Wait(3)},
         {0, 5}, {5}, 1, 1, ""},
        {"Reconnect off cancels a waiting retry and frees the lock", true, {Start, Fail, Wait(2), Off, Wait(120)},
         {0}, {5}, 1, 0, "Stream stopped."},
        {"Reconnect on after an end retries", false, {Start, Fail, Wait(3), On, Wait(5)}, {0, 8}, {5}, 1, 1, ""},
        {"a wake's restart replaces a waiting retry", true, {Start, Fail, Wait(2), Wake, Wait(60)},
         {0, 7}, {5}, 2, 1, ""},
        {"a later wake replaces the pending restart", false, {Start, Wake, Wait(3), Wake, Wait(10)},
         {0, 8}, {}, 2, 1, ""},
        {"exit cancels a waiting retry", true, {Start, Fail, Wait(2), Exit}, {0}, {5}, 1, 0, ""},
        {"a report still queued at exit is dropped", true, {Start, FailUnheard, Exit}, {0}, {}, 1, 0, kRefused},
        {"nothing starts after Shutdown", true, {Start, Close, Start, Url, Wait(60)}, {0}, {}, 1, 0, ""},
        {"an end heard after a URL change is old news", true, {Start, FailUnheard, Url, Wait(60)}, {0, 0}, {}, 2, 1, ""},
        {"no thread, no lock", true, {Refuse, Start, Wait(60)}, {}, {}, 1, 0,
         "Could not start the stream: no thread could be created"},
        {"no thread for a retry, no lock", true, {Start, Fail, Refuse, Wait(60)}, {0}, {5}, 1, 0,
         "Could not start the stream: no thread could be created"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h(c.reconnect);
        ASSERT_NO_FATAL_FAILURE(h.Run(c.steps));
        const World& world = h.world;
        EXPECT_EQ(world.startsAt, c.startsAt);
        std::vector<int> waits;
        for (std::size_t i = 0; i < world.statuses.size(); ++i) {
            if (world.statuses[i].rfind(kReconnecting, 0) == 0) {
                waits.push_back(std::stoi(world.statuses[i].substr(kReconnecting.size())));
                EXPECT_EQ(world.statuses[i], kReconnecting + std::to_string(waits.back()) + " s...");
                EXPECT_EQ(world.statuses.at(i - 1), kRefused) << "the decoder's own message comes first";
            }
        }
        EXPECT_EQ(waits, c.waits);
        EXPECT_EQ(world.takes, c.takes);
        EXPECT_EQ(world.liveLocks, c.liveLocks);
        if (!c.lastStatus.empty()) {
            EXPECT_EQ(world.statuses.back(), c.lastStatus);
        }
    }
}

TEST(Monitor, NotifiesOnlyWhatNeedsTheUserAndOnlyWhileTheWindowIsInactive)
{
    struct Case {
        const char* name;
        bool reconnect;
        std::vector<Step> steps;
        std::vector<std::pair<int, std::string>> notes;  // when, summary
        std::string firstBody;                           // empty: not checked
    };
    const Case cases[] = {
        {"motion start, with the local time, once while it lasts", false,
         {Start, Still, Wait(9), Move, Wait(1), Move, Wait(1), Move}, {{9, "Motion detected"}}, "at 14:05:09"},
        {"lasting motion, however long", false, {Start, Still, Move, Wait(30), Move, Wait(30), Move, Wait(30), Move},
         {{0, "Motion detected"}}, ""},
        {"no motion notice again after 59 s without motion", false, {Start, Still, Move, Wait(1), Still, Wait(58), Move},
         {{0, "Motion detected"}}, ""},
        {"again after 60 s without motion", false, {Start, Still, Move, Wait(1), Still, Wait(59), Move},
         {{0, "Motion detected"}, {60, "Motion detected"}}, ""},
        {"the first motion of a stream, at most one a minute", false,
         {Start, Still, Move, Wait(10), Url, Move, Wait(55), Url, Move},
         {{0, "Motion detected"}, {65, "Motion detected"}}, ""},
        {"a stream that stops with Reconnect off, at once", false, {Start, Still, Fail},
         {{0, "Stream stopped"}}, kRefused},
        {"with Reconnect on: after the first failed retry, once per outage, then its return", true,
         {Start, Still, Fail, Wait(5), Fail, Wait(10), Fail, Wait(20), Still, Fail, Wait(40), Fail},
         {{5, "Stream stopped"}, {35, "Stream is back"}, {75, "Stream stopped"}}, kRefused},
        {"nothing when the first retry mends it", true, {Start, Still, Fail, Wait(5), Still}, {}, ""},
        {"none while the window is active, none held back for later", false,
         {Active, Start, Still, Move, Wait(70), Inactive, Url, Still, Move}, {{70, "Motion detected"}}, ""},
        {"none when turned off", false, {Disable, Start, Still, Move, Fail, Wait(700)}, {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h(c.reconnect);
        ASSERT_NO_FATAL_FAILURE(h.Run(c.steps));
        std::vector<std::pair<int, std::string>> notes;
        std::string streamKey;
        for (const World::Note& note : h.world.notes) {
            notes.emplace_back(note.at, note.summary);
            if (note.summary == "Stream stopped")
                streamKey = note.key;
            if (note.summary == "Stream is back") {
                EXPECT_TRUE(!note.key.empty() && note.key == streamKey) << "the return replaces the stop";
            }
        }
        EXPECT_EQ(notes, c.notes);
        if (!c.firstBody.empty() && !h.world.notes.empty()) {
            EXPECT_EQ(h.world.notes[0].body, c.firstBody);
        }
    }
}

TEST(Monitor, KeepsAtMostOneFullSizeAnnotatedPictureASecondNamedAfterTheLocalTime)
{
    Harness h(false);
    ASSERT_NO_FATAL_FAILURE(h.Run({Start, Still}));
    for (int frame = 1; frame < 30; ++frame) {  // 10 frames a second for 3 s, all moving
        h.world.Advance(100ms);
        ASSERT_NO_FATAL_FAILURE(h.Run({Move}));
    }
    EXPECT_EQ(h.world.pictures, (std::vector<std::string>{"motion_20240305_140500.jpg", "motion_20240305_140501.jpg",
                                                          "motion_20240305_140502.jpg"}));
    EXPECT_TRUE(h.world.picturesWholeAndMarked);
    EXPECT_EQ(h.world.previews, 30);
    EXPECT_EQ(h.world.previewsWithMotion, 29) << "every preview but the first comes with its motion";
    EXPECT_EQ(std::count(h.world.statuses.begin(), h.world.statuses.end(), "Motion detected in stream."), 1);
}

// The program's own decoder behind the core, on a loopback port that refuses:
// the end comes from the decoder thread and is handled on this one.
TEST(Monitor, RetriesWhenTheRealDecoderCannotConnect)
{
    struct Controller : MonitorObserver {
        void OnStatus(const std::string& text) override
        {
            std::lock_guard<std::mutex> lock(mutex);
            statuses.push_back(text);
        }
        void OnFrame(VideoFrame, const MotionResult&) override {}
        std::mutex mutex;
        std::condition_variable posted;
        std::function<void()> post;
        std::vector<std::string> statuses;
    } controller;
    struct Port {
        ~Port() { close(fd); }
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    } refusing;  // bound, not listening
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(refusing.fd, reinterpret_cast<sockaddr*>(&address), length), 0);
    getsockname(refusing.fd, reinterpret_cast<sockaddr*>(&address), &length);
    World scheduled;  // only its timers are used, and never run

    MonitorDependencies deps;
    deps.scheduler = std::make_unique<FakeScheduler>(scheduled);
    deps.post = [&controller](std::function<void()> call) {
        std::lock_guard<std::mutex> lock(controller.mutex);
        controller.post = std::move(call);
        controller.posted.notify_all();
    };
    deps.takeSleepLock = [] { return std::make_unique<Holding>(); };
    deps.registerWake = [](std::function<void()>) { return std::make_unique<Holding>(); };
    MonitorCore core("rtsp://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/stream", controller,
                     std::move(deps));
    core.SetReconnect(true);
    core.StartStream();

    std::unique_lock<std::mutex> lock(controller.mutex);
    ASSERT_TRUE(controller.posted.wait_for(lock, 20s, [&] { return bool(controller.post); }));
    const std::function<void()> ended = std::move(controller.post);
    lock.unlock();
    ended();
    lock.lock();
    ASSERT_GE(controller.statuses.size(), 2u);
    EXPECT_EQ(controller.statuses.back(), kReconnecting + "5 s...");
    EXPECT_EQ(controller.statuses.end()[-2].rfind("Unable to open stream: ", 0), 0u);
    EXPECT_EQ(scheduled.timers.size(), 1u) << "one retry waits";
}
