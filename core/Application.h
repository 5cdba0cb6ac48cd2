#pragma once

#include "AnalyticsConfig.h"
#include "DriveClient.h"
#include "MonitorCore.h"
#include "PictureFolder.h"
#include "SettingsModel.h"
#include "SettingsStore.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class DesktopNotifier;
class GoogleAnalyticsClient;

// Names a camera for as long as the process runs; 0 names none (the program
// as a whole).
using CameraId = std::uint64_t;

struct CameraInfo {
    CameraId id = 0;
    std::string name;
    std::string url;
    bool reconnect = false;
};

// The settings that Drive > Settings... edits: the selected camera's URL and
// reconnecting, and the program's own.
struct GeneralSettings {
    std::string url;
    bool reconnect = false;
    bool notificationsEnabled = true;
    PictureSettings pictures;
};

// What the window shows of the application.
class ApplicationObserver {
public:
    virtual ~ApplicationObserver() = default;
    // Controller thread: cameras were added, removed or changed.
    virtual void OnCamerasChanged() = 0;
    // Controller thread, in the order the lines were made: one status line of
    // a camera, or of the program as a whole (camera 0). UTF-8.
    virtual void OnStatus(CameraId camera, const std::string& text) = 0;
    // The camera's decoder thread: an analysed frame to preview. Must not block.
    virtual void OnFrame(CameraId camera, VideoFrame frame, const MotionResult& motion) = 0;
    // Controller thread: pictures waiting for Google Drive, whenever the count changes.
    virtual void OnWaitingPictures(std::size_t count) = 0;
    // Controller thread: a Connect failed; the message is also a status line.
    virtual void OnConnectFailed(const std::string& message) = 0;
    // Controller thread: the user clicked one of the program's notifications.
    virtual void OnNotificationClicked() = 0;
};

// What the application talks to. The program gives the settings store and
// the post and leaves the rest empty: empty members get the real thing.
struct ApplicationServices {
    std::shared_ptr<SettingsStore> settings;
    // Any thread: queues `call` onto the controller thread and returns at
    // once; may drop it once the window is gone.
    std::function<void(std::function<void()> call)> post;
    DriveClientOptions drive;
    std::string analyticsEndpoint = DefaultAnalyticsEndpoint();
    std::string analyticsMeasurementId = BuiltInMeasurementId();
    std::string analyticsApiSecret = BuiltInApiSecret();

    std::function<std::unique_ptr<StreamSource>()> makeStreamSource;
    std::function<std::unique_ptr<Scheduler>()> makeScheduler;
    std::function<std::unique_ptr<Holding>()> takeSleepLock;
    std::function<std::unique_ptr<Holding>(std::function<void()> onWake)> registerWake;
    std::function<std::chrono::steady_clock::time_point()> steadyNow;
    std::function<std::chrono::system_clock::time_point()> wallNow;
    Notifier notify;           // empty: the desktop's notification server
    PictureSender sendPicture;  // empty: the Drive client
    PictureTimings pictureTimings;
};

// The program without its window: owns the cameras (one monitor core each),
// the Drive client, the picture folder, the notifier and the analytics
// client; applies and saves settings; shares one sleep lock and one wake
// registration among the cameras; decides the program's own notifications.
// The window observes it and forwards the user's commands.
//
// Threading: every public operation belongs to the controller thread (the GUI
// thread). Reports from other threads are posted there first, except frames.
// Destruction stops and joins the cameras, then the picture folder's threads,
// then lets the Drive client go.
class Application {
public:
    explicit Application(ApplicationServices services);
    ~Application();

    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Null: nobody is told anything from then on.
    void SetObserver(ApplicationObserver* observer);

    // Sends "app_open" and starts every camera.
    void Start();
    // At exit: stops every camera and sends "app_close", waiting for it;
    // nothing starts afterwards.
    void Shutdown();

    std::vector<CameraInfo> Cameras() const;
    bool CanAddCamera() const;
    // The name a new camera is offered: "Camera N", N its number.
    std::string NewCameraName() const;
    // Each returns why it could not be done (for the user), or empty.
    std::string AddCamera(const std::string& name, const std::string& url, bool reconnect);
    std::string ChangeCamera(CameraId camera, const std::string& name, const std::string& url,
                             bool reconnect);
    // Its pictures stay. Removing the last camera leaves one without a URL.
    void RemoveCamera(CameraId camera);
    // Why `name` cannot name `camera` (0: a new one), or empty.
    std::string CameraNameProblem(CameraId camera, const std::string& name) const;

    GeneralSettings CurrentSettings(CameraId camera) const;
    // As Drive > Settings... applies them: a changed, non-empty URL restarts
    // that camera's stream; an empty one is ignored.
    void ApplySettings(CameraId camera, GeneralSettings settings);

    bool IsDriveConnected() const;
    void ConnectDrive();
    void DisconnectDrive();
    // Where the user's own OAuth client file is looked for, and whether
    // Connect has a client to name at all.
    std::string DriveClientFilePath() const;
    bool HasDriveCredentials() const;
    std::string PictureFolderPath() const;

    // Any thread. No notification while the window is the active one.
    void SetWindowActive(bool active);

private:
    class Camera;

    void Report(CameraId camera, const std::string& text);
    void PostToController(std::function<void()> call);
    Camera& AddCameraObject(const CameraSettings& settings);
    Camera* Find(CameraId camera) const;
    std::vector<std::string> NamesBesides(CameraId camera) const;
    int FreeSlot() const;
    void CamerasChanged();
    bool Save(const std::vector<SettingsStore::Change>& changes);

    // Shared among the cameras' monitors.
    std::unique_ptr<Holding> ShareSleepLock();
    std::unique_ptr<Holding> JoinWake(std::function<void()> onWake);
    // The program's own notices, unless the user is looking or turned them off.
    void Notify(const std::string& summary, const std::string& body, const std::string& key);
    void Show(const std::string& summary, const std::string& body, const std::string& key);
    void NotifyForCamera(CameraId camera, const std::string& summary, const std::string& body,
                         const std::string& key);

    // Decoder threads.
    void KeepPicture(CameraId camera, std::unique_ptr<pictures::PictureSource> picture, const std::string& name);
    void ShowFrame(CameraId camera, VideoFrame frame, const MotionResult& motion);
    // The delivery thread: `route` is the camera's subfolder, empty for the folder itself.
    DeliveryResult DeliverPicture(const std::vector<uint8_t>& jpeg, const std::string& name,
                                  const std::string& route, bool lookUpFirst, const std::atomic<bool>& cancel);
    // The camera whose pictures go by `route` now; 0 when none does.
    CameraId CameraOfRoute(const std::string& route) const;

    void OnDriveAuthorizationLost(const std::string& reason);
    void OnPicturesWaiting(std::size_t count);
    void StopCameras();

    ApplicationServices services;
    ProgramSettings settings;
    std::atomic<ApplicationObserver*> observer{nullptr};
    // Held while a decoder thread hands a frame to the observer, so that
    // the observer can leave safely.
    std::mutex frameMutex;
    bool started = false;
    bool shutDown = false;
    std::atomic<bool> windowActive{false};

    std::unique_ptr<GoogleAnalyticsClient> analytics;
    std::unique_ptr<DriveClient> drive;
    std::unique_ptr<PictureFolder> pictures;
    std::unique_ptr<DesktopNotifier> desktopNotifier;
    std::unique_ptr<Scheduler> scheduler;

    CameraId lastCameraId = 0;
    std::vector<std::unique_ptr<Camera>> cameras;
    // Each camera's picture subfolder, read on the decoder threads: empty
    // while there is one camera.
    mutable std::mutex routeMutex;
    std::map<CameraId, std::string> routes;

    std::weak_ptr<Holding> sleepLock;
    std::unique_ptr<Holding> wakeRegistration;
    std::map<std::uint64_t, std::function<void()>> wakeListeners;
    std::uint64_t lastWakeListener = 0;

    // Pictures waiting for Drive too long.
    Scheduler::Handle waitingCheck = 0;
    bool waitingEpisode = false;
    std::size_t waitingCount = 0;

    // Posted calls and late completions run only while this lives.
    std::shared_ptr<int> alive = std::make_shared<int>(0);
};
