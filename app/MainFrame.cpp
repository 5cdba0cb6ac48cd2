#include "MainFrame.h"

#include "AppConfig.h"
#include "CameraDialog.h"
#include "CameraTiles.h"
#include "DonationDialog.h"
#include "Menus.h"
#include "SettingsDialog.h"
#include "TextConversion.h"

#include "DesktopLauncher.h"

#include <wx/msgdlg.h>
#include <wx/panel.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/utils.h>

#include <cstdio>

namespace {

const char* const kAboutMessage =
    "Orvanta 1.0.0\n\nMonitors an RTSP stream, detects motion, and uploads captured "
    "frames to Google Drive.";

}  // namespace

wxBEGIN_EVENT_TABLE(MainFrame, wxFrame)
    EVT_MENU(wxID_EXIT, MainFrame::OnQuit)
    EVT_MENU(wxID_ABOUT, MainFrame::OnAbout)
    EVT_MENU(wxID_PREFERENCES, MainFrame::OnSettings)
    EVT_MENU(ID_DRIVE_CONNECT, MainFrame::OnDriveConnect)
    EVT_MENU(ID_DRIVE_DISCONNECT, MainFrame::OnDriveDisconnect)
    EVT_MENU(ID_DONATION, MainFrame::OnDonation)
    EVT_MENU(ID_OPEN_PICTURES, MainFrame::OnOpenPictures)
    EVT_MENU(ID_ADD_CAMERA, MainFrame::OnAddCamera)
    EVT_MENU(ID_CAMERA_SETTINGS, MainFrame::OnCameraSettings)
    EVT_MENU(ID_REMOVE_CAMERA, MainFrame::OnRemoveCamera)
    EVT_UPDATE_UI(ID_DRIVE_CONNECT, MainFrame::OnUpdateDriveConnect)
    EVT_UPDATE_UI(ID_DRIVE_DISCONNECT, MainFrame::OnUpdateDriveDisconnect)
    EVT_UPDATE_UI(ID_ADD_CAMERA, MainFrame::OnUpdateAddCamera)
    EVT_UPDATE_UI(ID_REMOVE_CAMERA, MainFrame::OnUpdateRemoveCamera)
wxEND_EVENT_TABLE()

MainFrame::MainFrame(const wxString& title, Application& application, UiQueuePtr queue, WindowServices services)
    : wxFrame(nullptr, wxID_ANY, title, wxDefaultPosition, wxSize(1100, 760), wxDEFAULT_FRAME_STYLE),
      application(application), queue(std::move(queue)),
      openWebPage(services.openWebPage ? std::move(services.openWebPage)
                                       : [](const wxString& url) { wxLaunchDefaultBrowser(url); }),
      openFolder(services.openFolder ? std::move(services.openFolder) : OpenWithDesktop)
{
    BuildUi();
    Bind(wxEVT_CLOSE_WINDOW, &MainFrame::OnClose, this);
    // Nobody sees a minimised or hidden window: frames are then still
    // analysed and kept, but not drawn.
    Bind(wxEVT_ICONIZE, [this](wxIconizeEvent& event) {
        event.Skip();
        tiles->SetWindowVisible(IsShown() && !event.IsIconized());
    });
    Bind(wxEVT_SHOW, [this](wxShowEvent& event) {
        event.Skip();
        tiles->SetWindowVisible(event.IsShown() && !IsIconized());
    });
    // Nobody is told of what they are looking at.
    Bind(wxEVT_ACTIVATE, [this](wxActivateEvent& event) {
        event.Skip();
        this->application.SetWindowActive(event.GetActive());
    });
    OnCamerasChanged();
    application.SetObserver(this);
}

MainFrame::~MainFrame()
{
    // Waits for a frame being handed over on a decoder thread.
    application.SetObserver(nullptr);
}

void MainFrame::BuildUi()
{
    SetMenuBar(BuildMenuBar());

    // Field 0 is the status line; field 1 counts the pictures waiting for Drive.
    CreateStatusBar(2);
    const int widths[] = {-3, -1};
    SetStatusWidths(2, widths);
    SetStatusText("Preparing RTSP viewer...", 0);

    auto* panel = new wxPanel(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER);
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    auto* title = new wxStaticText(panel, wxID_ANY, "RTSP Stream Preview");
    wxFont titleFont = title->GetFont();
    titleFont.SetWeight(wxFONTWEIGHT_BOLD);
    titleFont.SetPointSize(titleFont.GetPointSize() + 4);
    title->SetFont(titleFont);
    sizer->Add(title, 0, wxLEFT | wxRIGHT | wxTOP, 16);

    statusText = new wxStaticText(panel, wxID_ANY, "Connecting to stream...", wxDefaultPosition, wxDefaultSize, 0,
                                  "statusText");
    statusText->Wrap(1000);
    sizer->Add(statusText, 0, wxALL | wxEXPAND, 16);

    tiles = new CameraTiles(panel, [this](CameraId camera) {
        const auto latest = latestStatus.find(camera);
        if (latest != latestStatus.end())
            ShowStatusLine(CameraName(camera) + ": " + latest->second);
    });
    sizer->Add(tiles, 1, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 16);
    panel->SetSizer(sizer);
}

void MainFrame::Post(std::function<void()> call)
{
    queue->Post([token = std::weak_ptr<int>(alive), call = std::move(call)] {
        // The window is destroyed on the GUI thread, where this runs.
        if (!token.expired())
            call();
    });
}

void MainFrame::PostStatus(const wxString& text)
{
    // Queued even on the GUI thread, behind the application's own lines.
    wxString copy = text;
    copy.Shrink();
    Post([this, copy] { ShowStatus(0, copy); });
}

void MainFrame::OnStatus(CameraId camera, const std::string& text)
{
    ShowStatus(camera, wxString::FromUTF8(text));
}

void MainFrame::ShowStatus(CameraId camera, const wxString& text)
{
    if (camera != 0) {
        latestStatus[camera] = text;
        tiles->SetStatus(camera, text);
    }
    if (camera == 0 || cameras.size() < 2) {
        ShowStatusLine(text);
        return;
    }
    const wxString line = CameraName(camera) + ": " + text;
    if (camera == tiles->Selected()) {
        ShowStatusLine(line);
        return;
    }
    std::printf("[Status] %s\n", ToLocaleBytes(line).c_str());
    std::fflush(stdout);
}

void MainFrame::ShowStatusLine(const wxString& text)
{
    // Literal text: SetLabel would take "&" (common in camera URLs) as a mnemonic.
    statusText->SetLabelText(text);
    statusText->Wrap(1000);
    std::printf("[Status] %s\n", ToLocaleBytes(text).c_str());
    std::fflush(stdout);
    SetStatusText(text, 0);
}

wxString MainFrame::CameraName(CameraId camera) const
{
    for (const CameraInfo& info : cameras) {
        if (info.id == camera)
            return wxString::FromUTF8(info.name);
    }
    return wxString();
}

void MainFrame::OnCamerasChanged()
{
    cameras = application.Cameras();
    for (auto latest = latestStatus.begin(); latest != latestStatus.end();) {
        if (CameraName(latest->first).empty())
            latest = latestStatus.erase(latest);
        else
            ++latest;
    }
    tiles->Rebuild(cameras);
    for (const auto& [camera, text] : latestStatus)
        tiles->SetStatus(camera, text);
    // From now on the status line names the camera it speaks of.
    if (const auto latest = latestStatus.find(tiles->Selected()); cameras.size() >= 2 && latest != latestStatus.end())
        ShowStatusLine(CameraName(latest->first) + ": " + latest->second);
}

void MainFrame::OnFrame(CameraId camera, VideoFrame frame, const MotionResult& motion)
{
    // Nobody would see the preview: no conversion and no drawing.
    if (tiles->Push(camera, PreviewFeed::Frame{std::move(frame), motion}))
        Post([this, camera] { tiles->DrawNext(camera); });
}

std::uint64_t MainFrame::PreviewConversionCount() const
{
    return tiles->ConversionCount();
}

void MainFrame::OnWaitingPictures(std::size_t waiting)
{
    wxString text;
    if (waiting == 1)
        text = "1 picture waiting for Google Drive";
    else if (waiting > 1)
        text = wxString::Format("%zu pictures waiting for Google Drive", waiting);
    SetStatusText(text, 1);
}

void MainFrame::OnConnectFailed(const std::string& message)
{
    // Started from the desktop's menu, nobody reads standard output.
    const wxString hint = application.HasDriveCredentials()
                              ? wxString()
                              : "\n\nSave the OAuth client file of a Google \"Desktop app\" client as\n"
                                    + wxString::FromUTF8(application.DriveClientFilePath());
    wxMessageBox(wxString::FromUTF8(message) + hint, "Drive Error", wxOK | wxICON_ERROR, this);
}

void MainFrame::OnNotificationClicked()
{
    BringUp();
}

void MainFrame::BringUp()
{
    if (IsIconized())
        Iconize(false);
    Show(true);
    Raise();
}

void MainFrame::OnQuit(wxCommandEvent&)
{
    Close(true);
}

void MainFrame::OnClose(wxCloseEvent& event)
{
    application.Shutdown();
    event.Skip();
}

void MainFrame::OnSettings(wxCommandEvent&)
{
    const CameraId camera = tiles->Selected();
    if (const auto chosen = AskGeneralSettings(this, application.CurrentSettings(camera)))
        application.ApplySettings(camera, *chosen);
}

void MainFrame::OnAddCamera(wxCommandEvent&)
{
    AddCameraFromUser(this, application);
}

void MainFrame::OnCameraSettings(wxCommandEvent&)
{
    ChangeCameraFromUser(this, application, tiles->Selected());
}

void MainFrame::OnRemoveCamera(wxCommandEvent&)
{
    const CameraId camera = tiles->Selected();
    const wxString question = wxString::FromUTF8("Stop watching \u201c") + CameraName(camera)
                              + wxString::FromUTF8("\u201d? Its pictures stay in the picture folder.");
    if (wxMessageBox(question, "Remove Camera", wxYES_NO | wxNO_DEFAULT | wxICON_QUESTION, this) == wxYES)
        application.RemoveCamera(camera);
}

void MainFrame::OnOpenPictures(wxCommandEvent&)
{
    if (!openFolder(application.PictureFolderPath()))
        PostStatus("Could not open the picture folder: xdg-open did not start");
}

void MainFrame::OnDriveConnect(wxCommandEvent&)
{
    application.ConnectDrive();
}

void MainFrame::OnDriveDisconnect(wxCommandEvent&)
{
    application.DisconnectDrive();
}

void MainFrame::OnUpdateDriveConnect(wxUpdateUIEvent& event)
{
    event.Enable(!application.IsDriveConnected());
}

void MainFrame::OnUpdateDriveDisconnect(wxUpdateUIEvent& event)
{
    event.Enable(application.IsDriveConnected());
}

void MainFrame::OnUpdateAddCamera(wxUpdateUIEvent& event)
{
    event.Enable(application.CanAddCamera());
}

void MainFrame::OnUpdateRemoveCamera(wxUpdateUIEvent& event)
{
    // The camera nobody has set up is today's empty window, not one to remove.
    event.Enable(cameras.size() > 1 || (!cameras.empty() && !cameras.front().url.empty()));
}

void MainFrame::OnAbout(wxCommandEvent&)
{
    wxMessageBox(kAboutMessage, "About", wxOK | wxICON_INFORMATION, this);
}

void MainFrame::OnDonation(wxCommandEvent&)
{
    ShowDonationDialog(this, openWebPage);
}
