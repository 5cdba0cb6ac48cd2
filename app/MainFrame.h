#pragma once

#include "WindowLifeline.h"

#include "GoogleAnalyticsClient.h"
#include "GoogleDriveUploader.h"
#include "MotionDetector.h"
#include "RtspStreamDecoder.h"

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
class SystemPowerNotifications;

// Command identifiers of the window's own menu items.
enum {
    ID_DRIVE_CONNECT = 6001,
    ID_DRIVE_DISCONNECT = 6002,
    ID_DONATION = 6003,
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
};

// The one long-lived top-level window: owns the stream decoder, the motion
// detector, the Drive client and the analytics client, and is the target of
// every hand-off from background threads (always through `lifeline`).
class MainFrame : public wxFrame {
public:
    explicit MainFrame(const wxString& title, MainFrameServices services = MainFrameServices());
    ~MainFrame() override;

    MainFrame(const MainFrame&) = delete;
    MainFrame& operator=(const MainFrame&) = delete;

    // GUI thread. Starts the decoder on the stored URL unless a decoder
    // thread is held or no URL is configured.
    void StartStream();
    // GUI thread. Stops and joins the decoder thread; releases the idle-sleep
    // assertion.
    void StopStream();
    // Any thread. Queues `text` for the status label, the status bar and a
    // "[Status] " line on standard output; never shows it synchronously.
    void PostStatus(const wxString& text);

    // Decoder thread. Motion analysis, motion status, upload trigger and the
    // preview hand-off for one frame; never waits for the GUI thread.
    void HandleDecodedFrame(std::vector<uint8_t> frame, int width, int height);
    // GUI thread. Scales the frame into the preview control, letterboxed.
    void UpdatePreview(const std::vector<uint8_t>& frame, int width, int height);

    // Previews handed to the GUI thread and not yet drawn; bounded so that a
    // GUI thread that falls behind cannot make memory grow without limit.
    std::size_t PendingPreviewCount() const;
    static constexpr std::size_t kMaxPendingPreviews = 3;

    // Any thread: a handle that background threads keep instead of the window.
    WindowLifelinePtr Lifeline() const { return lifeline; }

private:
    void BuildUi();
    void LoadPersistedSettings();
    void SavePersistedSettings();
    void ConfigureAnalytics();
    void UploadFrameToDrive(const std::vector<uint8_t>& rgb, int width, int height);
    void ShowStatus(const wxString& text);
    void DrawNextPendingPreview();

    void RegisterForSystemPower();
    void OnSystemWake();

    void OnQuit(wxCommandEvent& event);
    void OnClose(wxCloseEvent& event);
    void OnAbout(wxCommandEvent& event);
    void OnSettings(wxCommandEvent& event);
    void OnDonation(wxCommandEvent& event);
    void OnDriveConnect(wxCommandEvent& event);
    void OnDriveDisconnect(wxCommandEvent& event);
    void OnUpdateDriveConnect(wxUpdateUIEvent& event);
    void OnUpdateDriveDisconnect(wxUpdateUIEvent& event);

    WindowLifelinePtr lifeline;
    const std::string analyticsMeasurementId;
    const std::string analyticsApiSecret;
    const std::function<void(const wxString&)> openWebPage;

    wxStaticBitmap* preview = nullptr;
    wxStaticText* statusText = nullptr;
    RtspStreamDecoder decoder;
    MotionDetector motionDetector;
    GoogleDriveUploader driveUploader;
    GoogleAnalyticsClient analytics;
    // Set by OnClose (GUI thread). A restart that reaches the queue while the
    // window closes (the wake's delayed one) must not start a stream again.
    bool closing = false;
    // Written only by HandleDecodedFrame on the decoder thread.
    bool motionActive = false;
    std::chrono::steady_clock::time_point lastUploadTime{};
    wxString rtspUrl;
    wxString analyticsClientId;
    // Power-notification registration; made once, kept for the window's life.
    std::unique_ptr<SystemPowerNotifications> powerNotifications;

    // Frames waiting for UpdatePreview, oldest first. Filled on the decoder
    // thread, drained on the GUI thread.
    mutable std::mutex pendingPreviewMutex;
    struct PendingPreview {
        std::vector<uint8_t> frame;
        int width;
        int height;
    };
    std::deque<PendingPreview> pendingPreviews;
    // False while the window is minimised or hidden: frames are then still
    // analysed and uploaded, but neither queued for the preview nor drawn.
    // Written on the GUI thread when the window's state changes, read on the
    // decoder thread.
    std::atomic<bool> previewVisible{true};

    wxDECLARE_EVENT_TABLE();
};
