#include "Application.h"

#include "AppIcon.h"
#include "DesktopNotifier.h"
#include "GoogleAnalyticsClient.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <system_error>

using namespace std::chrono_literals;

namespace {

const char kAppId[] = "com.tesselwick.Orvanta";
const char kDriveNoticeKey[] = "drive";
const char kPicturesNoticeKey[] = "pictures";
constexpr std::chrono::milliseconds kPicturesWaitingTooLong = 10min;

DeliveryOutcome ToDeliveryOutcome(UploadOutcome outcome)
{
    switch (outcome) {
    case UploadOutcome::Stored: return DeliveryOutcome::Delivered;
    case UploadOutcome::NotSent: return DeliveryOutcome::NotSent;
    case UploadOutcome::Unknown: return DeliveryOutcome::Unknown;
    case UploadOutcome::Refused: return DeliveryOutcome::Refused;
    case UploadOutcome::DriveFull: return DeliveryOutcome::DriveFull;
    case UploadOutcome::NotAuthorized: return DeliveryOutcome::NotAuthorized;
    case UploadOutcome::Cancelled: return DeliveryOutcome::Cancelled;
    }
    return DeliveryOutcome::NotSent;
}

std::string Trimmed(const std::string& text)
{
    const char* const blanks = " \t\r\n\f\v";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// A share of something that many hold and the last one lets go of.
class Share : public Holding {
public:
    explicit Share(std::shared_ptr<Holding> held) : held(std::move(held)) {}

private:
    std::shared_ptr<Holding> held;
};

// Calls `release` when it goes.
class Membership : public Holding {
public:
    explicit Membership(std::function<void()> release) : release(std::move(release)) {}
    ~Membership() override { release(); }

private:
    std::function<void()> release;
};

}  // namespace

// One camera: its settings and its monitor core, whose reports it passes on
// under the camera's id.
class Application::Camera : public MonitorObserver {
public:
    Camera(Application& app, CameraId id, CameraSettings settings)
        : app(app), id(id), settings(std::move(settings))
    {
    }
    void OnStatus(const std::string& text) override { app.Report(id, text); }
    void OnFrame(VideoFrame frame, const MotionResult& motion) override
    {
        app.ShowFrame(id, std::move(frame), motion);
    }

    Application& app;
    const CameraId id;
    CameraSettings settings;  // controller thread
    // Declared last and destroyed first: its decoder thread reports here.
    std::unique_ptr<MonitorCore> monitor;
};

Application::Application(ApplicationServices given) : services(std::move(given))
{
    if (!services.settings || !services.post)
        throw std::invalid_argument("Application needs a settings store and a post");
    if (!services.makeStreamSource)
        services.makeStreamSource = MakeRtspStreamSource;
    if (!services.makeScheduler)
        services.makeScheduler = MakeMainLoopScheduler;
    if (!services.takeSleepLock)
        services.takeSleepLock = TakeIdleSleepLock;
    if (!services.registerWake)
        services.registerWake = RegisterForWake;

    std::vector<std::string> skipped;
    settings = LoadSettings(*services.settings, &skipped);
    for (const std::string& line : skipped)
        std::fprintf(stderr, "[Settings] %s\n", line.c_str());
    if (settings.analyticsClientId.empty()) {
        settings.analyticsClientId = GoogleAnalyticsClient::GenerateClientId();
        Save({AnalyticsClientIdEntry(settings.analyticsClientId)});
    }

    analytics = std::make_unique<GoogleAnalyticsClient>(services.analyticsEndpoint);
    analytics->Configure(services.analyticsMeasurementId, services.analyticsApiSecret,
                         settings.analyticsClientId);

    // Called on any thread, the client's constructor included.
    services.drive.onAuthorizationLost = [post = services.post, token = std::weak_ptr<int>(alive),
                                          this](const std::string& reason) {
        post([token, this, reason] {
            if (!token.expired())
                OnDriveAuthorizationLost(reason);
        });
    };
    if (!services.drive.settings)
        services.drive.settings = services.settings;
    drive = std::make_unique<DriveClient>(std::move(services.drive));

    scheduler = services.makeScheduler();
    PictureEvents events;
    events.status = [this](const std::string& text) { Report(0, text); };
    events.waitingChanged = [this](std::size_t count) {
        PostToController([this, count] { OnPicturesWaiting(count); });
    };
    // Only for a picture that the delivery will send.
    events.delivering = [this](const std::string& name, const std::string& route) {
        PostToController([this, name, route] {
            if (drive->IsAuthenticated())
                Report(CameraOfRoute(route), "Uploading to Google Drive: " + name);
        });
    };
    PictureSender send = services.sendPicture;
    if (!send) {
        send = [this](const std::vector<uint8_t>& jpeg, const std::string& name, const std::string& route,
                      bool lookUpFirst, const std::atomic<bool>& cancel) {
            return DeliverPicture(jpeg, name, route, lookUpFirst, cancel);
        };
    }
    pictures = std::make_unique<PictureFolder>(settings.pictures, std::move(send), std::move(events),
                                               services.pictureTimings);
    pictures->SetDriveConnected(drive->IsAuthenticated());

    if (!services.notify) {
        const std::string icon = AppIconPath();
        desktopNotifier = std::make_unique<DesktopNotifier>(icon.empty() ? kAppId : icon, [this] {
            if (ApplicationObserver* watcher = observer.load())
                watcher->OnNotificationClicked();
        });
    }
    for (const CameraSettings& camera : settings.cameras)
        AddCameraObject(camera);
    CamerasChanged();
}

Application::~Application()
{
    // The cameras first: their decoder threads hand pictures to the folder.
    // Then the folder's threads (the picture in flight stays waiting), while
    // the Drive client is still there.
    StopCameras();
    cameras.clear();
    pictures.reset();
    drive.reset();
    desktopNotifier.reset();
    scheduler.reset();
}

void Application::SetObserver(ApplicationObserver* watcher)
{
    std::lock_guard<std::mutex> lock(frameMutex);
    observer = watcher;
}

void Application::Start()
{
    if (started || shutDown)
        return;
    started = true;
    analytics->TrackEvent("app_open");
    for (const auto& camera : cameras)
        camera->monitor->StartStream();
}

void Application::Shutdown()
{
    if (shutDown)
        return;
    // Nothing starts after this: not the wake's delayed restart, not a retry.
    StopCameras();
    analytics->TrackEventSync("app_close");
}

void Application::StopCameras()
{
    shutDown = true;
    for (const auto& camera : cameras)
        camera->monitor->Shutdown();
    if (scheduler)
        scheduler->Cancel(waitingCheck);
    waitingCheck = 0;
    wakeRegistration.reset();
}

// ---- Cameras ----

Application::Camera& Application::AddCameraObject(const CameraSettings& cameraSettings)
{
    auto camera = std::make_unique<Camera>(*this, ++lastCameraId, cameraSettings);
    const CameraId id = camera->id;
    MonitorDependencies dependencies;
    dependencies.scheduler = services.makeScheduler();
    dependencies.post = services.post;
    dependencies.steadyNow = services.steadyNow;
    dependencies.wallNow = services.wallNow;
    dependencies.source = services.makeStreamSource();
    dependencies.takeSleepLock = [this] { return ShareSleepLock(); };
    dependencies.registerWake = [this](std::function<void()> onWake) { return JoinWake(std::move(onWake)); };
    dependencies.notify = [this, id](const std::string& summary, const std::string& body, const std::string& key) {
        NotifyForCamera(id, summary, body, key);
    };
    dependencies.handOff = [this, id](std::unique_ptr<pictures::PictureSource> picture, const std::string& name) {
        KeepPicture(id, std::move(picture), name);
    };
    camera->monitor = std::make_unique<MonitorCore>(cameraSettings.url, *camera, std::move(dependencies));
    camera->monitor->SetReconnect(cameraSettings.reconnect);
    camera->monitor->SetNotificationsEnabled(settings.notificationsEnabled);
    camera->monitor->SetWindowActive(windowActive);
    cameras.push_back(std::move(camera));
    return *cameras.back();
}

std::vector<CameraInfo> Application::Cameras() const
{
    std::vector<CameraInfo> list;
    for (const auto& camera : cameras)
        list.push_back({camera->id, camera->settings.name, camera->settings.url, camera->settings.reconnect});
    return list;
}

bool Application::CanAddCamera() const
{
    return static_cast<int>(cameras.size()) < kMaxCameras;
}

std::string Application::NewCameraName() const
{
    const bool replacesTheEmptyOne = cameras.size() == 1 && cameras.front()->settings.url.empty();
    const int slot = replacesTheEmptyOne ? cameras.front()->settings.slot : FreeSlot();
    const std::vector<std::string> names = NamesBesides(replacesTheEmptyOne ? cameras.front()->id : 0);
    // "Camera N" with the first number from the camera's own that no other camera uses.
    for (int number = std::max(slot, 1);; ++number) {
        const std::string name = DefaultCameraName(number);
        if (::CameraNameProblem(name, names).empty())
            return name;
    }
}

Application::Camera* Application::Find(CameraId id) const
{
    const auto found = std::find_if(cameras.begin(), cameras.end(), [id](const auto& camera) { return camera->id == id; });
    return found == cameras.end() ? nullptr : found->get();
}

std::vector<std::string> Application::NamesBesides(CameraId id) const
{
    std::vector<std::string> names;
    for (const auto& camera : cameras) {
        if (camera->id != id)
            names.push_back(camera->settings.name);
    }
    return names;
}

std::string Application::CameraNameProblem(CameraId camera, const std::string& name) const
{
    return ::CameraNameProblem(name, NamesBesides(camera));
}

int Application::FreeSlot() const
{
    for (int slot = 1; slot <= kMaxCameras; ++slot) {
        if (std::none_of(cameras.begin(), cameras.end(), [slot](const auto& camera) { return camera->settings.slot == slot; }))
            return slot;
    }
    return 0;
}

std::string Application::AddCamera(const std::string& name, const std::string& url, bool reconnect)
{
    // The camera nobody has set up yet becomes this one.
    if (cameras.size() == 1 && cameras.front()->settings.url.empty())
        return ChangeCamera(cameras.front()->id, name, url, reconnect);
    if (static_cast<int>(cameras.size()) >= kMaxCameras)
        return "Orvanta watches at most " + std::to_string(kMaxCameras) + " cameras.";
    if (std::string problem = CameraNameProblem(0, name); !problem.empty())
        return problem;
    if (Trimmed(url).empty())
        return "Enter the camera's RTSP URL.";
    const CameraSettings added{FreeSlot(), name, Trimmed(url), reconnect};
    Save(CameraEntries(added));
    Camera& camera = AddCameraObject(added);
    CamerasChanged();
    if (started && !shutDown)
        camera.monitor->StartStream();
    return {};
}

std::string Application::ChangeCamera(CameraId id, const std::string& name, const std::string& url, bool reconnect)
{
    Camera* camera = Find(id);
    if (camera == nullptr)
        return "The camera has been removed.";
    if (std::string problem = CameraNameProblem(id, name); !problem.empty())
        return problem;
    if (Trimmed(url).empty())
        return "Enter the camera's RTSP URL.";
    CameraSettings changed = camera->settings;
    changed.name = name;
    changed.url = Trimmed(url);
    changed.reconnect = reconnect;
    if (changed == camera->settings)
        return {};
    Save(CameraEntries(changed));
    const bool renamed = changed.name != camera->settings.name;
    camera->settings = changed;
    camera->monitor->SetReconnect(changed.reconnect);
    if (renamed)
        CamerasChanged();
    camera->monitor->SetUrl(changed.url);
    return {};
}

void Application::RemoveCamera(CameraId id)
{
    const auto found = std::find_if(cameras.begin(), cameras.end(), [id](const auto& camera) { return camera->id == id; });
    if (found == cameras.end())
        return;
    (*found)->monitor->Shutdown();
    Save(CameraRemoval((*found)->settings.slot));
    cameras.erase(found);
    if (cameras.empty()) {
        Camera& first = AddCameraObject(CameraSettings{1, DefaultCameraName(1), "", false});
        CamerasChanged();
        if (started && !shutDown)
            first.monitor->StartStream();
        return;
    }
    CamerasChanged();
}

void Application::CamerasChanged()
{
    {
        std::lock_guard<std::mutex> lock(routeMutex);
        routes.clear();
        // One camera keeps its pictures in the folder itself, as always.
        if (cameras.size() >= 2) {
            for (const auto& camera : cameras)
                routes[camera->id] = camera->settings.name;
        }
    }
    if (ApplicationObserver* watcher = observer.load())
        watcher->OnCamerasChanged();
}

// ---- Settings ----

bool Application::Save(const std::vector<SettingsStore::Change>& changes)
{
    // A store that cannot be written keeps the settings in memory until exit.
    return services.settings->Write(changes);
}

GeneralSettings Application::CurrentSettings(CameraId id) const
{
    GeneralSettings current;
    if (const Camera* camera = Find(id)) {
        current.url = camera->settings.url;
        current.reconnect = camera->settings.reconnect;
    }
    current.notificationsEnabled = settings.notificationsEnabled;
    current.pictures = settings.pictures;
    return current;
}

void Application::ApplySettings(CameraId id, GeneralSettings changed)
{
    // Only an absolute folder names one place whatever the working directory.
    if (changed.pictures.folder.empty() || changed.pictures.folder[0] != '/')
        changed.pictures.folder = settings.pictures.folder;
    const PictureSettings& now = settings.pictures;
    if (changed.pictures.folder != now.folder || changed.pictures.capBytes != now.capBytes
        || changed.pictures.keepDelivered != now.keepDelivered) {
        settings.pictures = changed.pictures;
        pictures->Apply(settings.pictures);
        Save(PictureEntries(settings.pictures));
    }
    if (changed.notificationsEnabled != settings.notificationsEnabled) {
        settings.notificationsEnabled = changed.notificationsEnabled;
        Save({NotificationEntry(settings.notificationsEnabled)});
        for (const auto& camera : cameras)
            camera->monitor->SetNotificationsEnabled(settings.notificationsEnabled);
    }
    Camera* camera = Find(id);
    if (camera == nullptr)
        return;
    if (changed.reconnect != camera->settings.reconnect) {
        camera->settings.reconnect = changed.reconnect;
        Save(CameraEntries(camera->settings));
        camera->monitor->SetReconnect(changed.reconnect);
    }
    // An empty entry cannot clear the URL.
    const std::string url = Trimmed(changed.url);
    if (url.empty() || url == camera->settings.url)
        return;
    camera->settings.url = url;
    std::vector<SettingsStore::Change> entries = CameraEntries(camera->settings);
    entries.push_back(AnalyticsClientIdEntry(settings.analyticsClientId));
    Save(entries);
    camera->monitor->SetUrl(url);
}

std::string Application::PictureFolderPath() const
{
    return settings.pictures.folder;
}

// ---- Drive ----

bool Application::IsDriveConnected() const
{
    return drive->IsAuthenticated();
}

std::string Application::DriveClientFilePath() const
{
    return drive->ClientFilePath();
}

bool Application::HasDriveCredentials() const
{
    return drive->HasCredentials();
}

void Application::ConnectDrive()
{
    Report(0, "Opening browser for Google Drive authentication...");
    // Called once, normally on the authorization thread.
    auto onDone = [post = services.post, token = std::weak_ptr<int>(alive), this](bool success,
                                                                                 const std::string& message) {
        post([token, this, success, message] {
            if (token.expired())
                return;
            Report(0, message);
            if (success) {
                pictures->SetDriveConnected(true);
            } else if (ApplicationObserver* watcher = observer.load()) {
                watcher->OnConnectFailed(message);
            }
        });
    };
    try {
        drive->Authenticate(onDone);
    } catch (const std::system_error&) {
        onDone(false, "Google Drive authorization could not be started");
    }
}

void Application::DisconnectDrive()
{
    drive->Disconnect();
    // Pictures waiting now stay waiting and go after the next Connect.
    pictures->SetDriveConnected(false);
    Report(0, "Disconnected from Google Drive.");
}

void Application::OnDriveAuthorizationLost(const std::string& reason)
{
    Report(0, reason);
    pictures->SetDriveConnected(false);
    Notify("Google Drive disconnected", reason.empty() ? "Connect again from the Drive menu." : reason,
           kDriveNoticeKey);
}

void Application::OnPicturesWaiting(std::size_t count)
{
    if (ApplicationObserver* watcher = observer.load())
        watcher->OnWaitingPictures(count);
    waitingCount = count;
    if (count == 0) {
        scheduler->Cancel(waitingCheck);
        waitingCheck = 0;
        waitingEpisode = false;
        return;
    }
    if (waitingEpisode || shutDown)
        return;
    waitingEpisode = true;
    waitingCheck = scheduler->After(kPicturesWaitingTooLong, [this] {
        waitingCheck = 0;
        Notify("Pictures waiting for Google Drive",
               waitingCount == 1 ? "1 picture has waited more than 10 minutes."
                                 : std::to_string(waitingCount) + " pictures have waited more than 10 minutes.",
               kPicturesNoticeKey);
    });
}

// Decoder thread.
void Application::KeepPicture(CameraId camera, std::unique_ptr<pictures::PictureSource> picture,
                              const std::string& name)
{
    // Decided when the picture is taken, so that renaming or removing the
    // camera later never misroutes it.
    std::string route;
    {
        std::lock_guard<std::mutex> lock(routeMutex);
        if (const auto found = routes.find(camera); found != routes.end())
            route = found->second;
    }
    pictures->Keep(std::move(picture), name, std::move(route), drive->IsAuthenticated() || drive->IsLapsed());
}

CameraId Application::CameraOfRoute(const std::string& route) const
{
    for (const auto& camera : cameras) {
        if (route.empty() ? cameras.size() == 1 : camera->settings.name == route)
            return camera->id;
    }
    return 0;
}

// Delivery thread.
DeliveryResult Application::DeliverPicture(const std::vector<uint8_t>& jpeg, const std::string& name,
                                           const std::string& route, bool lookUpFirst,
                                           const std::atomic<bool>& cancel)
{
    const UploadResult result = drive->UploadJpeg(jpeg, name, route, lookUpFirst, cancel);
    return DeliveryResult{ToDeliveryOutcome(result.outcome), result.message};
}

// ---- Reports ----

void Application::ShowFrame(CameraId camera, VideoFrame frame, const MotionResult& motion)
{
    std::lock_guard<std::mutex> lock(frameMutex);
    if (ApplicationObserver* watcher = observer.load())
        watcher->OnFrame(camera, std::move(frame), motion);
}

void Application::Report(CameraId camera, const std::string& text)
{
    PostToController([this, camera, text] {
        if (ApplicationObserver* watcher = observer.load())
            watcher->OnStatus(camera, text);
    });
}

void Application::PostToController(std::function<void()> call)
{
    services.post([token = std::weak_ptr<int>(alive), call = std::move(call)] {
        // The application is destroyed on the controller thread, where this runs.
        if (!token.expired())
            call();
    });
}

void Application::SetWindowActive(bool active)
{
    windowActive = active;
    for (const auto& camera : cameras)
        camera->monitor->SetWindowActive(active);
}

void Application::Notify(const std::string& summary, const std::string& body, const std::string& key)
{
    if (shutDown || !settings.notificationsEnabled || windowActive)
        return;
    Show(summary, body, key);
}

void Application::Show(const std::string& summary, const std::string& body, const std::string& key)
{
    if (services.notify)
        services.notify(summary, body, key);
    else if (desktopNotifier)
        desktopNotifier->Notify(summary, body, key);
}

void Application::NotifyForCamera(CameraId id, const std::string& summary, const std::string& body,
                                  const std::string& key)
{
    // The camera's monitor has decided; only its name is added.
    const Camera* camera = Find(id);
    const std::string named =
        camera != nullptr && cameras.size() >= 2 ? summary + " \u2014 " + camera->settings.name : summary;
    Show(named, body, key + "/" + std::to_string(id));
}

// ---- Shared among the cameras ----

std::unique_ptr<Holding> Application::ShareSleepLock()
{
    std::shared_ptr<Holding> lock = sleepLock.lock();
    if (!lock) {
        std::unique_ptr<Holding> taken = services.takeSleepLock();
        if (!taken)
            return nullptr;
        lock = std::move(taken);
        sleepLock = lock;
    }
    return std::make_unique<Share>(std::move(lock));
}

std::unique_ptr<Holding> Application::JoinWake(std::function<void()> onWake)
{
    if (!wakeRegistration) {
        wakeRegistration = services.registerWake([this] {
            // A copy: a listener may leave while the others are told.
            const auto listeners = wakeListeners;
            for (const auto& entry : listeners)
                entry.second();
        });
    }
    if (!wakeRegistration)
        return nullptr;
    const std::uint64_t id = ++lastWakeListener;
    wakeListeners[id] = std::move(onWake);
    return std::make_unique<Membership>([this, id] { wakeListeners.erase(id); });
}
