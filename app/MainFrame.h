#pragma once

#include "PreviewImage.h"
#include "WindowLifeline.h"

#include "GoogleAnalyticsClient.h"
#include "GoogleDriveUploader.h"
#include "MonitorCore.h"
#include "PictureFolder.h"

#include <wx/frame.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class wxStaticBitmap;
class wxStaticText;
class DesktopNotifier;

// Command identifiers of the window's own menu items.
enum {
    ID_DRIVE_CONNECT = 6001,
    ID_DRIVE_DISCONNECT = 6002,
    ID_DONATION = 6003,
    ID_OPEN_PICTURES = 6004,
};

// What the window's engine objects talk to. The defaults are the real services
// fixed when the program was built; tests point them at loopback servers.
struct MainFrameServices {
    DriveClientOptions drive;
    std::string analyticsEndpoint = DefaultAnalyticsEndpoint();
    std::string analyticsMeasurementId = BuiltInMeasurementId();
    std::string analyticsApiSecret = BuiltInApiSecret();
    // Opens a web page in the user's browser; empty: the desktop's default browser.
    std::function<void(const wxString& url)> openWebPage;
    // Shows a folder in the file manager; empty: xdg-open. False when it
    // could not be started.
    std::function<bool(const std::string& folder)> openFolder;
};

// The one long-lived top-level window, a view of the monitor core: it shows
// what the core reports, forwards the user's commands and settings, and owns
// the Drive client, the analytics client, the picture folder and the desktop
// notifier. It is the target of every hand-off from background threads
// (always through `lifeline`).
class MainFrame : public wxFrame, private MonitorObserver {
public:
    explicit MainFrame(const wxString& title, MainFrameServices services = MainFrameServices());
    ~MainFrame() override;

    MainFrame(const MainFrame&) = delete;
    MainFrame& operator=(const MainFrame&) = delete;

    // Any thread. Queues `text` for the status label, the status bar and a
    // "[Status] " line on standard output; never shows it synchronously.
    void PostStatus(const wxString& text);

    // Decoder thread. Queues an analysed frame for the preview; never waits
    // for the GUI thread.
    void ShowFrame(VideoFrame frame, MotionResult motion);
    // GUI thread. Converts the frame into the preview control at the size it
    // is drawn, letterboxed, and marks its motion.
    void UpdatePreview(const VideoFrame& frame, const MotionResult& motion);

    // Previews handed to the GUI thread and not yet drawn; bounded so that a
    // GUI thread that falls behind cannot make memory grow without limit.
    std::size_t PendingPreviewCount() const;
    static constexpr std::size_t kMaxPendingPreviews = 3;
    // GUI thread. Frames converted for the preview so far.
    std::uint64_t PreviewConversionCount() const { return previewRenderer.ConversionCount(); }

    // Any thread: a handle that background threads keep instead of the window.
    WindowLifelinePtr Lifeline() const { return lifeline; }

private:
    void BuildUi();
    void LoadPersistedSettings();
    void SavePersistedSettings();
    void ConfigureAnalytics();
    // MonitorObserver.
    void OnStatus(const std::string& text) override;
    void OnFrame(VideoFrame frame, const MotionResult& motion) override;

    // Decoder thread: hands a motion picture to the picture folder, which
    // keeps it and, when it waits for Drive, delivers it.
    void KeepPicture(const std::vector<uint8_t>& rgb, int width, int height, const std::string& name);
    // Delivery thread: one attempt to put a kept picture into Drive.
    DeliveryResult DeliverPicture(const std::vector<uint8_t>& jpeg, const std::string& name,
                                  bool lookUpFirst, const std::atomic<bool>& cancel);
    void ShowStatus(const wxString& text);
    void ShowWaitingPictures(std::size_t waiting);
    // GUI thread: the Drive client forgot the authorization by itself (it
    // lapsed or was refused); pictures go on waiting for the next Connect.
    void OnDriveAuthorizationLost(const wxString& reason);
    void SetDriveLapsed(bool lapsed);
    void DrawNextPendingPreview();

    void ApplyMonitorSettings();
    // A click on one of our notifications: the window comes up.
    void BringUp();

    void OnQuit(wxCommandEvent& event);
    void OnClose(wxCloseEvent& event);
    void OnAbout(wxCommandEvent& event);
    void OnSettings(wxCommandEvent& event);
    void OnDonation(wxCommandEvent& event);
    void OnOpenPictures(wxCommandEvent& event);
    void OnDriveConnect(wxCommandEvent& event);
    void OnDriveDisconnect(wxCommandEvent& event);
    void OnUpdateDriveConnect(wxUpdateUIEvent& event);
    void OnUpdateDriveDisconnect(wxUpdateUIEvent& event);

    WindowLifelinePtr lifeline;
    const std::string analyticsMeasurementId;
    const std::string analyticsApiSecret;
    const std::function<void(const wxString&)> openWebPage;
    const std::function<bool(const std::string&)> openFolder;

    wxStaticBitmap* preview = nullptr;
    wxStaticText* statusText = nullptr;
    GoogleDriveUploader driveUploader;
    GoogleAnalyticsClient analytics;
    // Declared after the Drive client: its delivery thread uses the client
    // and is joined before the client goes.
    std::unique_ptr<PictureFolder> pictures;
    // True while an authorization that the user did not end by Disconnect
    // has lapsed: pictures taken meanwhile still wait for Drive. Written on
    // the GUI thread, read on the decoder thread.
    std::atomic<bool> driveLapsed{false};
    wxString rtspUrl;
    wxString analyticsClientId;
    // As last applied; the picture folder holds its own copy.
    PictureSettings pictureSettings;
    bool reconnect = false;
    bool notificationsEnabled = true;
    std::unique_ptr<DesktopNotifier> notifier;
    // Declared last and destroyed first: its decoder thread hands pictures
    // to the picture folder and frames to this window.
    std::unique_ptr<MonitorCore> monitor;

    // Frames waiting for UpdatePreview, oldest first. Filled on the decoder
    // thread, drained on the GUI thread.
    mutable std::mutex pendingPreviewMutex;
    struct PendingPreview {
        VideoFrame frame;
        MotionResult motion;
    };
    std::deque<PendingPreview> pendingPreviews;
    // GUI thread only.
    PreviewRenderer previewRenderer;
    // False while the window is minimised or hidden: frames are then still
    // analysed and uploaded, but neither queued for the preview nor
    // converted.
    // Written on the GUI thread when the window's state changes, read on the
    // decoder thread.
    std::atomic<bool> previewVisible{true};

    wxDECLARE_EVENT_TABLE();
};
