#pragma once

#include "Application.h"
#include "Menus.h"
#include "UiQueue.h"

#include <wx/frame.h>

#include <functional>
#include <map>
#include <string>

class CameraTiles;
class wxStaticText;

// What the window itself opens. Empty members: the desktop's defaults.
struct WindowServices {
    // Opens a web page in the user's browser.
    std::function<void(const wxString& url)> openWebPage;
    // Shows a folder in the file manager; false when that could not be started.
    std::function<bool(const std::string& folder)> openFolder;
};

// The one long-lived top-level window, a view of the application: it shows
// what the application reports (the cameras' previews and statuses, the
// pictures waiting for Drive) and forwards the user's commands. It decides
// nothing and owns no engine object. Other threads reach it only through the
// GUI thread's queue.
class MainFrame : public wxFrame, public ApplicationObserver {
public:
    // `queue`: the GUI thread's one queue, which the application posts to as well.
    MainFrame(const wxString& title, Application& application, UiQueuePtr queue,
              WindowServices services = WindowServices());
    ~MainFrame() override;

    MainFrame(const MainFrame&) = delete;
    MainFrame& operator=(const MainFrame&) = delete;

    // Any thread. Queues a status line of the program as a whole.
    void PostStatus(const wxString& text);
    CameraTiles& Tiles() { return *tiles; }
    // GUI thread. Frames converted for the previews so far.
    std::uint64_t PreviewConversionCount() const;

private:
    void BuildUi();
    // Any thread: queues `call`, which runs only while the window exists.
    void Post(std::function<void()> call);
    void ShowStatus(CameraId camera, const wxString& text);
    void ShowStatusLine(const wxString& text);
    wxString CameraName(CameraId camera) const;
    void BringUp();

    // ApplicationObserver.
    void OnCamerasChanged() override;
    void OnStatus(CameraId camera, const std::string& text) override;
    void OnFrame(CameraId camera, VideoFrame frame, const MotionResult& motion) override;
    void OnWaitingPictures(std::size_t count) override;
    void OnConnectFailed(const std::string& message) override;
    void OnNotificationClicked() override;

    void OnQuit(wxCommandEvent& event);
    void OnClose(wxCloseEvent& event);
    void OnAbout(wxCommandEvent& event);
    void OnSettings(wxCommandEvent& event);
    void OnDonation(wxCommandEvent& event);
    void OnOpenPictures(wxCommandEvent& event);
    void OnDriveConnect(wxCommandEvent& event);
    void OnDriveDisconnect(wxCommandEvent& event);
    void OnAddCamera(wxCommandEvent& event);
    void OnCameraSettings(wxCommandEvent& event);
    void OnRemoveCamera(wxCommandEvent& event);
    void OnUpdateDriveConnect(wxUpdateUIEvent& event);
    void OnUpdateDriveDisconnect(wxUpdateUIEvent& event);
    void OnUpdateAddCamera(wxUpdateUIEvent& event);
    void OnUpdateRemoveCamera(wxUpdateUIEvent& event);

    Application& application;
    const UiQueuePtr queue;
    const std::function<void(const wxString&)> openWebPage;
    const std::function<bool(const std::string&)> openFolder;

    wxStaticText* statusText = nullptr;
    CameraTiles* tiles = nullptr;
    std::vector<CameraInfo> cameras;
    // Each camera's latest status, shown again when it is selected.
    std::map<CameraId, wxString> latestStatus;
    // Queued calls run only while this lives.
    const std::shared_ptr<int> alive = std::make_shared<int>(0);

    wxDECLARE_EVENT_TABLE();
};
