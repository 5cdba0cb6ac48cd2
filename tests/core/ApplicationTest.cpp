// The application core on fake cameras, a fake clock and a fake Drive, without a display.
#include "Application.h"
#include "FakeTime.h"
#include "MemorySettingsStore.h"
#include "MemoryStore.h"
#include "TestFrames.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;

namespace {

constexpr int kWidth = 160, kHeight = 120;

// What the fakes record and the test drives. The test's thread plays the
// controller thread and every decoder thread.
struct World : FakeTime, ApplicationObserver {
    std::mutex postsMutex;  // the picture folder's threads post too
    std::deque<std::function<void()>> posts;
    struct Stream {
        bool running = false;
        std::vector<int> startsAt;  // seconds
        FrameCallback onFrame;
        StatusCallback onStatus;
        EndedCallback onEnded;
        int level = 20;
    };
    std::map<std::string, Stream> streams;  // by URL
    int wakeRegistrations = 0;
    std::function<void()> wake;
    std::vector<std::string> notes;  // summaries
    std::vector<std::pair<CameraId, std::string>> statuses;
    int camerasChanged = 0;
    std::size_t waiting = 0;

    void OnCamerasChanged() override { ++camerasChanged; }
    void OnStatus(CameraId camera, const std::string& text) override { statuses.emplace_back(camera, text); }
    void OnFrame(CameraId, VideoFrame, const MotionResult&) override {}
    void OnWaitingPictures(std::size_t count) override { waiting = count; }
    void OnConnectFailed(const std::string&) override {}
    void OnNotificationClicked() override {}

    void Post(std::function<void()> call)
    {
        std::lock_guard<std::mutex> lock(postsMutex);
        posts.push_back(std::move(call));
    }
    void Drain() override
    {
        for (;;) {
            std::function<void()> call;
            {
                std::lock_guard<std::mutex> lock(postsMutex);
                if (posts.empty())
                    return;
                call = std::move(posts.front());
                posts.pop_front();
            }
            call();
        }
    }
    // A frame of one grey level: a moving one differs from the last in every pixel.
    void Frame(const std::string& url, bool moving)
    {
        Stream& stream = streams[url];
        ASSERT_TRUE(stream.running) << url << " does not stream";
        stream.level = moving ? 240 - stream.level : stream.level;
        stream.onFrame(UniformFrame(kWidth, kHeight, LimitedLuma(stream.level)));
        Drain();
    }
    void End(const std::string& url)
    {
        Stream& stream = streams[url];
        stream.onStatus("Stream read stopped: End of file");
        stream.onEnded();
        Drain();
    }
};

struct FakeSource : StreamSource {
    explicit FakeSource(World& world) : world(world) {}
    void Start(std::string startUrl, FrameCallback onFrame, StatusCallback onStatus, EndedCallback onEnded) override
    {
        url = std::move(startUrl);
        World::Stream& stream = world.streams[url];
        EXPECT_FALSE(stream.running) << "a second stream of " << url;
        stream.running = true;
        stream.startsAt.push_back(static_cast<int>(world.now / 1s));
        stream.onFrame = std::move(onFrame);
        stream.onStatus = std::move(onStatus);
        stream.onEnded = std::move(onEnded);
    }
    void Stop() override
    {
        if (!url.empty())
            world.streams[url].running = false;
        url.clear();
    }
    bool IsRunning() const override { return !url.empty(); }
    World& world;
    std::string url;
};

struct Harness {
    explicit Harness(const std::map<std::string, std::string>& entries = {},
                     DeliveryOutcome driveAnswers = DeliveryOutcome::Delivered)
    {
        char pattern[] = "/tmp/orvanta-core-XXXXXX";
        folder = mkdtemp(pattern);
        std::vector<SettingsStore::Change> changes{{"/Pictures/Folder", folder}, {"/Analytics/ClientId", "ace.5"}};
        for (const auto& [key, value] : entries)
            changes.emplace_back(key, value);
        settings->Write(changes);

        ApplicationServices services;
        services.settings = settings;
        services.post = [this](std::function<void()> call) { world.Post(std::move(call)); };
        services.drive.endpoints = {"http://127.0.0.1:9/a", "http://127.0.0.1:9/t", "http://127.0.0.1:9/f",
                                    "http://127.0.0.1:9/u", ""};
        services.drive.secureStore = std::make_shared<MemoryStore>();
        services.analyticsEndpoint = "http://127.0.0.1:9/mp/collect";
        services.analyticsMeasurementId.clear();
        services.makeStreamSource = [this] { return std::make_unique<FakeSource>(world); };
        services.makeScheduler = [this] { return std::make_unique<FakeScheduler>(world); };
        services.steadyNow = [this] { return std::chrono::steady_clock::time_point(world.now); };
        services.wallNow = [this] { return std::chrono::system_clock::from_time_t(1709647500) + world.now; };
        services.takeSleepLock = [this] { return std::make_unique<FakeLock>(world); };
        services.registerWake = [this](std::function<void()> onWake) {
            ++world.wakeRegistrations;
            world.wake = std::move(onWake);
            return std::make_unique<Holding>();
        };
        services.notify = [this](const std::string& summary, const std::string&, const std::string&) {
            world.notes.push_back(summary);
        };
        services.drive.credentials = {"test-client-id", "test-client-secret"};
        services.drive.secureStore->Add("", "", "granted");  // connected to Drive
        services.sendPicture = [this, driveAnswers](const std::vector<uint8_t>&, const std::string& name,
                                                    const std::string& camera, bool, const std::atomic<bool>&) {
            std::lock_guard<std::mutex> lock(sentMutex);
            sent.push_back(camera + "/" + name);
            return DeliveryResult{driveAnswers, ""};
        };
        app = std::make_unique<Application>(std::move(services));
        app->SetObserver(&world);
        app->Start();
        world.Drain();
    }
    ~Harness()
    {
        app.reset();
        std::filesystem::remove_all(folder);
    }
    CameraId Id(const std::string& name) const
    {
        for (const CameraInfo& camera : app->Cameras()) {
            if (camera.name == name)
                return camera.id;
        }
        ADD_FAILURE() << "no camera " << name;
        return 0;
    }

    // Waits (on the real clock: the picture folder has threads of its own)
    // until the fake Drive holds `count` pictures.
    std::vector<std::string> Sent(std::size_t count)
    {
        for (int i = 0; i < 500; ++i) {
            {
                std::lock_guard<std::mutex> lock(sentMutex);
                if (sent.size() >= count)
                    return sent;
            }
            std::this_thread::sleep_for(10ms);
        }
        std::lock_guard<std::mutex> lock(sentMutex);
        return sent;
    }

    // Waits likewise until the delivered picture has been moved out of the
    // waiting folder to `path`, which follows its sending.
    bool Kept(const std::string& path) const
    {
        for (int i = 0; i < 500 && !std::filesystem::exists(folder + path); ++i)
            std::this_thread::sleep_for(10ms);
        return std::filesystem::exists(folder + path);
    }

    World world;
    std::mutex sentMutex;
    std::vector<std::string> sent;
    std::string folder;
    std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
    std::unique_ptr<Application> app;  // declared last: goes before the world
};

const std::map<std::string, std::string> kTwoCameras{
    {"/Stream/RtspUrl", "rtsp://door"}, {"/Stream/Name", "Front door"},
    {"/Cameras/2/RtspUrl", "rtsp://garden"}, {"/Cameras/2/Name", "Garden"}};

TEST(Application, CamerasShareOneSleepLockAndOneWakeRegistration)
{
    Harness h(kTwoCameras);
    World& world = h.world;
    EXPECT_EQ(world.streams["rtsp://door"].startsAt, std::vector<int>{0});
    EXPECT_EQ(world.streams["rtsp://garden"].startsAt, std::vector<int>{0});
    EXPECT_EQ(world.takes, 1);
    EXPECT_EQ(world.wakeRegistrations, 1);

    ASSERT_TRUE(world.wake);
    world.Advance(10s);
    world.wake();
    world.Drain();
    EXPECT_FALSE(world.streams["rtsp://door"].running || world.streams["rtsp://garden"].running);
    world.Advance(5s);
    EXPECT_EQ(world.streams["rtsp://door"].startsAt, (std::vector<int>{0, 15})) << "every camera 5 s after the wake";
    EXPECT_EQ(world.streams["rtsp://garden"].startsAt, (std::vector<int>{0, 15}));
    EXPECT_EQ(world.liveLocks, 1);

    h.app->RemoveCamera(h.Id("Garden"));
    EXPECT_EQ(world.liveLocks, 1) << "the other camera still streams";
    h.app->RemoveCamera(h.Id("Front door"));
    EXPECT_EQ(world.liveLocks, 0) << "no camera streams";
    EXPECT_EQ(world.takes, 2);
    EXPECT_EQ(h.app->Cameras().size(), 1u) << "the empty window of a new user";
    EXPECT_TRUE(h.app->Cameras().front().url.empty());
}

TEST(Application, NotificationsNameTheCameraOnlyWhenThereAreSeveral)
{
    Harness h(kTwoCameras);
    World& world = h.world;
    world.Frame("rtsp://garden", false);
    world.Frame("rtsp://garden", true);
    world.End("rtsp://door");
    EXPECT_EQ(world.notes, (std::vector<std::string>{"Motion detected \u2014 Garden", "Stream stopped \u2014 Front door"}));

    h.app->RemoveCamera(h.Id("Front door"));
    world.Advance(120s);
    world.notes.clear();
    world.Frame("rtsp://garden", true);
    EXPECT_EQ(world.notes, std::vector<std::string>{"Motion detected"}) << "one camera: today's texts";
}

TEST(Application, CamerasAddedChangedAndRemovedAreSavedAndTheirStreamsFollow)
{
    Harness h;
    World& world = h.world;
    ASSERT_EQ(h.app->Cameras().size(), 1u);
    EXPECT_EQ(h.app->NewCameraName(), "Camera 1");
    EXPECT_EQ(h.app->AddCamera("Front door", " rtsp://door ", false), "");
    EXPECT_EQ(h.app->Cameras().size(), 1u) << "the first camera is the one nobody had set up";
    EXPECT_EQ(h.settings->Read("/Stream/RtspUrl"), "rtsp://door");
    EXPECT_EQ(h.app->NewCameraName(), "Camera 2");
    EXPECT_NE(h.app->AddCamera("front DOOR", "rtsp://other", false), "") << "names are unique regardless of case";
    EXPECT_NE(h.app->AddCamera("Garden", "", false), "") << "a camera needs a URL";
    EXPECT_EQ(h.app->AddCamera("Garden", "rtsp://garden", true), "");
    EXPECT_EQ(h.settings->Read("/Cameras/2/Name"), "Garden");
    EXPECT_EQ(h.settings->Read("/Cameras/2/Reconnect"), "true");
    EXPECT_EQ(world.streams["rtsp://garden"].startsAt, std::vector<int>{0});

    world.Advance(3s);
    EXPECT_EQ(h.app->ChangeCamera(h.Id("Garden"), "Back yard", "rtsp://yard", true), "");
    EXPECT_FALSE(world.streams["rtsp://garden"].running);
    EXPECT_EQ(world.streams["rtsp://yard"].startsAt, std::vector<int>{3});
    EXPECT_EQ(h.settings->Read("/Cameras/2/Name"), "Back yard");
    EXPECT_TRUE(world.streams["rtsp://door"].running) << "the other camera is left alone";

    h.app->RemoveCamera(h.Id("Front door"));
    EXPECT_FALSE(h.settings->Read("/Stream/RtspUrl"));
    EXPECT_EQ(h.app->AddCamera("Garage", "rtsp://garage", false), "");
    EXPECT_EQ(h.settings->Read("/Stream/Name"), "Garage") << "the lowest free number";
    const ProgramSettings reread = LoadSettings(*h.settings);
    ASSERT_EQ(reread.cameras.size(), 2u);
    EXPECT_EQ(reread.cameras[1].name, "Back yard");
}

TEST(Application, EachCamerasPicturesGoWhereTheyWereTakenWhateverHappensToTheCameraAfter)
{
    Harness h(kTwoCameras);
    World& world = h.world;
    world.Frame("rtsp://door", false);
    world.Frame("rtsp://door", true);
    world.Frame("rtsp://garden", false);
    world.Frame("rtsp://garden", true);
    // Renamed and removed before their pictures can have been delivered.
    EXPECT_EQ(h.app->ChangeCamera(h.Id("Front door"), "Porch", "rtsp://door", false), "");
    h.app->RemoveCamera(h.Id("Garden"));
    std::vector<std::string> sent = h.Sent(2);
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(sent, (std::vector<std::string>{"Front door/motion_20240305_140500.jpg", "Garden/motion_20240305_140500.jpg"}));
    EXPECT_TRUE(h.Kept("/Garden/motion_20240305_140500.jpg"));
    EXPECT_TRUE(h.Kept("/Front door/motion_20240305_140500.jpg"));

    world.Advance(2s);
    world.Frame("rtsp://door", true);
    EXPECT_EQ(h.Sent(3).back(), "/motion_20240305_140502.jpg") << "one camera left: the folder itself";
}

TEST(Application, TheProgramsOwnNoticesAskForTheUserOnlyWhenNeeded)
{
    {
        SCOPED_TRACE("Drive's sign-in lost: the sign-in was made with another OAuth client");
        Harness h(std::map<std::string, std::string>{{"/GoogleDrive/ClientId", "another-client"}});
        EXPECT_EQ(h.world.notes, std::vector<std::string>{"Google Drive disconnected"});
        EXPECT_FALSE(h.app->IsDriveConnected());
        EXPECT_EQ(h.settings->Read("/GoogleDrive/SignInLapsed"), "true") << "pictures go on waiting for Drive";
    }
    SCOPED_TRACE("pictures waiting over 10 minutes, once per episode");
    Harness h({{"/Stream/RtspUrl", "rtsp://door"}}, DeliveryOutcome::NotSent);
    World& world = h.world;
    world.Frame("rtsp://door", false);
    world.Frame("rtsp://door", true);
    h.Sent(1);
    for (int i = 0; i < 200 && world.waiting == 0; ++i) {
        std::this_thread::sleep_for(10ms);
        world.Drain();
    }
    ASSERT_EQ(world.waiting, 1u);
    world.Advance(599s);
    EXPECT_EQ(world.notes, std::vector<std::string>{"Motion detected"});
    world.Advance(1s);
    EXPECT_EQ(world.notes, (std::vector<std::string>{"Motion detected", "Pictures waiting for Google Drive"}));
    world.Advance(3600s);
    EXPECT_EQ(world.notes.size(), 2u) << "once per episode";
}

}  // namespace
