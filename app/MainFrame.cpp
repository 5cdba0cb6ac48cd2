#include "MainFrame.h"

#include "AppConfig.h"
#include "ConfigStoreLock.h"
#include "TextConversion.h"

#include "AppIcon.h"
#include "DesktopLauncher.h"
#include "DesktopNotifier.h"

#include <wx/bitmap.h>
#include <wx/button.h>
#include <wx/config.h>
#include <wx/checkbox.h>
#include <wx/dialog.h>
#include <wx/filepicker.h>
#include <wx/image.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/panel.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

const char kDriveLapsedKey[] = "/GoogleDrive/SignInLapsed";
const char kReconnectKey[] = "/Stream/Reconnect";
const char kNotifyKey[] = "/Notify/Enabled";

// "true" or "false"; anything else is the default.
bool ReadFlag(wxConfigBase& config, const char* key, bool fallback)
{
    wxString text;
    if (!config.Read(key, &text) || (text != "true" && text != "false")) {
        return fallback;
    }
    return text == "true";
}

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
    EVT_UPDATE_UI(ID_DRIVE_CONNECT, MainFrame::OnUpdateDriveConnect)
    EVT_UPDATE_UI(ID_DRIVE_DISCONNECT, MainFrame::OnUpdateDriveDisconnect)
wxEND_EVENT_TABLE()

MainFrame::MainFrame(const wxString& title, MainFrameServices services)
    : wxFrame(nullptr, wxID_ANY, title, wxDefaultPosition, wxSize(1100, 760),
              wxDEFAULT_FRAME_STYLE),
      lifeline(std::make_shared<WindowLifeline>(this)),
      analyticsMeasurementId(std::move(services.analyticsMeasurementId)),
      analyticsApiSecret(std::move(services.analyticsApiSecret)),
      openWebPage(services.openWebPage
                      ? std::move(services.openWebPage)
                      : [](const wxString& url) { wxLaunchDefaultBrowser(url); }),
      openFolder(services.openFolder ? std::move(services.openFolder) : OpenWithDesktop),
      driveUploader([&]() {
          // Called on any thread, the constructor's included.
          services.drive.onAuthorizationLost = [target = lifeline, this](const std::string& reason) {
              const wxString text = wxString::FromUTF8(reason);
              target->Post([this, text]() { OnDriveAuthorizationLost(text); });
          };
          return std::move(services.drive);
      }()),
      analytics(std::move(services.analyticsEndpoint))
{
    LoadPersistedSettings();
    ConfigureAnalytics();
    BuildUi();
    PictureEvents pictureEvents;
    pictureEvents.status = [this](const std::string& text) { PostStatus(wxString::FromUTF8(text)); };
    pictureEvents.waitingChanged = [target = lifeline, this](std::size_t waiting) {
        target->Post([this, waiting]() { ShowWaitingPictures(waiting); });
    };
    pictures = std::make_unique<PictureFolder>(
        pictureSettings,
        [this](const std::vector<uint8_t>& jpeg, const std::string& name, bool lookUpFirst,
               const std::atomic<bool>& cancel) { return DeliverPicture(jpeg, name, lookUpFirst, cancel); },
        std::move(pictureEvents));
    pictures->SetDriveConnected(driveUploader.IsAuthenticated());
    Bind(wxEVT_CLOSE_WINDOW, &MainFrame::OnClose, this);
    Bind(wxEVT_ICONIZE, [this](wxIconizeEvent& event) {
        event.Skip();
        previewVisible = IsShown() && !event.IsIconized();
    });
    Bind(wxEVT_SHOW, [this](wxShowEvent& event) {
        event.Skip();
        previewVisible = event.IsShown() && !IsIconized();
    });
    // Nobody is told of what they are looking at.
    Bind(wxEVT_ACTIVATE, [this](wxActivateEvent& event) {
        event.Skip();
        if (monitor) {
            monitor->SetWindowActive(event.GetActive());
        }
    });

    const std::string icon = AppIconPath();
    notifier = std::make_unique<DesktopNotifier>(icon.empty() ? "com.tesselwick.Orvanta" : icon,
                                                 [this]() { BringUp(); });
    MonitorDependencies dependencies;
    dependencies.post = [target = lifeline](std::function<void()> call) { target->Post(std::move(call)); };
    dependencies.notify = [this](const std::string& summary, const std::string& body,
                                 const std::string& replaceKey) {
        notifier->Notify(summary, body, replaceKey);
    };
    dependencies.handOff = [this](const std::vector<uint8_t>& rgb, int width, int height,
                                  const std::string& name) { KeepPicture(rgb, width, height, name); };
    MonitorObserver& observer = *this;
    monitor = std::make_unique<MonitorCore>(ToLocaleBytes(rtspUrl), observer, std::move(dependencies));
    ApplyMonitorSettings();

    analytics.TrackEvent("app_open");
    monitor->StartStream();
}

MainFrame::~MainFrame()
{
    // From here on, completions of detached threads are dropped.
    lifeline->Detach();
    // The core first: its decoder thread hands pictures to the folder. Then
    // the delivery (the picture in flight stays waiting), while the Drive
    // client is still there.
    monitor.reset();
    pictures.reset();
    notifier.reset();
}

void MainFrame::BuildUi()
{
    auto* driveMenu = new wxMenu;
    driveMenu->Append(wxID_ABOUT, wxString::FromUTF8("&About\tF1"),
                      "Show information about this application");
    driveMenu->Append(wxID_PREFERENCES, wxString::FromUTF8("Settings\u2026\tCtrl-,"),
                      "Edit application settings");
    driveMenu->AppendSeparator();
    driveMenu->Append(wxID_EXIT, "E&xit\tCtrl-Q", "Quit the application");
    driveMenu->Append(ID_DRIVE_CONNECT, "Connect...", "Authenticate with Google Drive");
    driveMenu->Append(ID_DRIVE_DISCONNECT, "Disconnect", "Remove Google Drive authentication");
    driveMenu->Append(ID_OPEN_PICTURES, "Open Picture Folder",
                      "Show the kept motion pictures in the file manager");

    auto* donationMenu = new wxMenu;
    donationMenu->Append(ID_DONATION, "Donate...", "Support this project");

    auto* menuBar = new wxMenuBar;
    menuBar->Append(driveMenu, "&Drive");
    menuBar->Append(donationMenu, "&Donation");
    SetMenuBar(menuBar);

    // Field 0 is the status line; field 1 counts the pictures waiting for Drive.
    CreateStatusBar(2);
    const int widths[] = {-3, -1};
    SetStatusWidths(2, widths);
    SetStatusText("Preparing RTSP viewer...", 0);

    auto* panel = new wxPanel(this, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                              wxTAB_TRAVERSAL | wxNO_BORDER);
    auto* sizer = new wxBoxSizer(wxVERTICAL);

    auto* title = new wxStaticText(panel, wxID_ANY, "RTSP Stream Preview");
    wxFont titleFont = title->GetFont();
    titleFont.SetWeight(wxFONTWEIGHT_BOLD);
    titleFont.SetPointSize(titleFont.GetPointSize() + 4);
    title->SetFont(titleFont);
    sizer->Add(title, 0, wxLEFT | wxRIGHT | wxTOP, 16);

    statusText = new wxStaticText(panel, wxID_ANY, "Connecting to stream...",
                                  wxDefaultPosition, wxDefaultSize, 0, "statusText");
    statusText->Wrap(1000);
    sizer->Add(statusText, 0, wxALL | wxEXPAND, 16);

    wxImage placeholder(960, 540, false);
    placeholder.SetRGB(wxRect(0, 0, 960, 540), kPreviewBackground[0], kPreviewBackground[1],
                       kPreviewBackground[2]);
    preview = new wxStaticBitmap(panel, wxID_ANY, wxBitmap(placeholder, wxBITMAP_SCREEN_DEPTH, 1.0),
                                 wxDefaultPosition, wxDefaultSize, 0, "preview");
    sizer->Add(preview, 1, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 16);

    panel->SetSizer(sizer);
}

void MainFrame::OnStatus(const std::string& text)
{
    PostStatus(wxString::FromUTF8(text));
}

void MainFrame::OnFrame(VideoFrame frame, const MotionResult& motion)
{
    ShowFrame(std::move(frame), motion);
}

void MainFrame::ApplyMonitorSettings()
{
    monitor->SetReconnect(reconnect);
    monitor->SetNotificationsEnabled(notificationsEnabled);
}

void MainFrame::BringUp()
{
    if (IsIconized()) {
        Iconize(false);
    }
    Show(true);
    Raise();
}

void MainFrame::PostStatus(const wxString& text)
{
    // Queued even on the GUI thread so that texts appear in posting order.
    wxString copy = text;
    copy.Shrink();
    lifeline->Post([this, copy]() { ShowStatus(copy); });
}

void MainFrame::ShowStatus(const wxString& text)
{
    if (statusText != nullptr) {
        // Literal text: SetLabel would take "&" (common in camera URLs) as a mnemonic.
        statusText->SetLabelText(text);
        statusText->Wrap(1000);
    }
    std::printf("[Status] %s\n", ToLocaleBytes(text).c_str());
    std::fflush(stdout);
    SetStatusText(text, 0);
}

void MainFrame::LoadPersistedSettings()
{
    pictureSettings.folder = PictureSettings::DefaultFolder();
    wxConfigBase* config = wxConfigBase::Get();
    if (config == nullptr) {
        return;
    }
    const auto configLock = LockConfigStore();
    wxString storedUrl;
    if (config->Read("/Stream/RtspUrl", &storedUrl) && !storedUrl.empty()) {
        rtspUrl = storedUrl;
    }
    pictureSettings = LoadPictureSettings(*config);
    reconnect = ReadFlag(*config, kReconnectKey, false);
    notificationsEnabled = ReadFlag(*config, kNotifyKey, true);
    wxString lapsed;
    driveLapsed = config->Read(kDriveLapsedKey, &lapsed) && lapsed == "true";
    const bool hasClientId = config->Read("/Analytics/ClientId", &analyticsClientId);
    if (!hasClientId || analyticsClientId.empty()) {
        analyticsClientId = FromLocaleBytes(GoogleAnalyticsClient::GenerateClientId());
        config->Write("/Analytics/ClientId", analyticsClientId);
        config->Flush();
    }
}

void MainFrame::SavePersistedSettings()
{
    wxConfigBase* config = wxConfigBase::Get();
    if (config == nullptr) {
        return;
    }
    const auto configLock = LockConfigStore();
    config->Write("/Stream/RtspUrl", rtspUrl);
    config->Write("/Analytics/ClientId", analyticsClientId);
    SavePictureSettings(*config, pictureSettings);
    config->Write(kReconnectKey, reconnect ? "true" : "false");
    config->Write(kNotifyKey, notificationsEnabled ? "true" : "false");
    config->Flush();
}

void MainFrame::ConfigureAnalytics()
{
    analytics.Configure(analyticsMeasurementId, analyticsApiSecret,
                        ToLocaleBytes(analyticsClientId));
}

void MainFrame::OnQuit(wxCommandEvent&)
{
    Close(true);
}

void MainFrame::OnClose(wxCloseEvent& event)
{
    // Nothing starts after this: not the wake's delayed restart, not a retry.
    monitor->Shutdown();
    analytics.TrackEventSync("app_close");
    event.Skip();
}

void MainFrame::OnSettings(wxCommandEvent&)
{
    wxDialog dialog(this, wxID_ANY, "Settings", wxDefaultPosition, wxDefaultSize,
                    wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER);
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(new wxStaticText(&dialog, wxID_ANY, "RTSP stream URL:"), 0,
               wxLEFT | wxRIGHT | wxTOP, 16);
    auto* urlField = new wxTextCtrl(&dialog, wxID_ANY, rtspUrl, wxDefaultPosition,
                                    wxSize(520, -1), 0, wxDefaultValidator, "rtspUrl");
    sizer->Add(urlField, 0, wxALL | wxEXPAND, 16);
    auto* keepField = new wxCheckBox(&dialog, wxID_ANY, "Keep pictures on this computer",
                                     wxDefaultPosition, wxDefaultSize, 0, wxDefaultValidator,
                                     "keepPictures");
    keepField->SetValue(pictureSettings.keepDelivered);
    sizer->Add(keepField, 0, wxLEFT | wxRIGHT, 16);
    auto* reconnectField = new wxCheckBox(&dialog, wxID_ANY, "Reconnect when the stream stops",
                                          wxDefaultPosition, wxDefaultSize, 0, wxDefaultValidator,
                                          "reconnect");
    reconnectField->SetValue(reconnect);
    sizer->Add(reconnectField, 0, wxLEFT | wxRIGHT | wxTOP, 16);
    auto* notifyField = new wxCheckBox(&dialog, wxID_ANY, "Show desktop notifications",
                                       wxDefaultPosition, wxDefaultSize, 0, wxDefaultValidator,
                                       "notify");
    notifyField->SetValue(notificationsEnabled);
    sizer->Add(notifyField, 0, wxLEFT | wxRIGHT | wxTOP, 16);
    sizer->Add(new wxStaticText(&dialog, wxID_ANY, "Picture folder:"), 0,
               wxLEFT | wxRIGHT | wxTOP, 16);
    auto* folderField = new wxDirPickerCtrl(
        &dialog, wxID_ANY, wxString::FromUTF8(pictureSettings.folder), "Picture folder",
        wxDefaultPosition, wxDefaultSize, wxDIRP_USE_TEXTCTRL, wxDefaultValidator, "pictureFolder");
    sizer->Add(folderField, 0, wxLEFT | wxRIGHT | wxTOP | wxEXPAND, 16);
    sizer->Add(new wxStaticText(&dialog, wxID_ANY, "Largest size of the picture folder (MiB):"), 0,
               wxLEFT | wxRIGHT | wxTOP, 16);
    constexpr uint64_t kMiB = 1024 * 1024;
    constexpr int kLargestCapMiB = 1024 * 1024;
    auto* capField = new wxSpinCtrl(
        &dialog, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize, wxSP_ARROW_KEYS, 1,
        kLargestCapMiB,
        static_cast<int>(std::min<uint64_t>(pictureSettings.capBytes / kMiB, kLargestCapMiB)),
        "pictureCapMiB");
    sizer->Add(capField, 0, wxLEFT | wxRIGHT | wxTOP, 16);
    if (wxSizer* buttons = dialog.CreateStdDialogButtonSizer(wxOK | wxCANCEL)) {
        sizer->Add(buttons, 0, wxALL | wxEXPAND, 16);
    }
    dialog.SetSizerAndFit(sizer);
    dialog.Centre(wxBOTH);
    // Typing replaces the URL and Return applies it.
    urlField->SetFocus();
    urlField->SelectAll();
    if (dialog.ShowModal() != wxID_OK) {
        return;
    }

    PictureSettings newPictureSettings = pictureSettings;
    newPictureSettings.keepDelivered = keepField->GetValue();
    newPictureSettings.capBytes = static_cast<uint64_t>(capField->GetValue()) * kMiB;
    wxString folder = folderField->GetPath();
    folder.Trim(true).Trim(false);
    // Only an absolute folder names one place whatever the working directory.
    if (folder.StartsWith("/")) {
        newPictureSettings.folder = folder.utf8_string();
    }
    if (newPictureSettings.folder != pictureSettings.folder
        || newPictureSettings.capBytes != pictureSettings.capBytes
        || newPictureSettings.keepDelivered != pictureSettings.keepDelivered) {
        pictureSettings = newPictureSettings;
        pictures->Apply(pictureSettings);
        SavePersistedSettings();
    }
    if (reconnectField->GetValue() != reconnect || notifyField->GetValue() != notificationsEnabled) {
        reconnect = reconnectField->GetValue();
        notificationsEnabled = notifyField->GetValue();
        SavePersistedSettings();
        ApplyMonitorSettings();
    }

    wxString entered = urlField->GetValue();
    entered.Trim(true).Trim(false);
    if (entered.empty() || entered == rtspUrl) {
        return;
    }
    rtspUrl = entered;
    SavePersistedSettings();
    monitor->SetUrl(ToLocaleBytes(rtspUrl));
}

void MainFrame::ShowFrame(VideoFrame frame, MotionResult motion)
{
    // Nobody would see the preview: no conversion and no drawing.
    if (!previewVisible) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(pendingPreviewMutex);
        pendingPreviews.push_back(PendingPreview{std::move(frame), std::move(motion)});
        // A GUI thread that has fallen behind only ever draws the newest few.
        while (pendingPreviews.size() > kMaxPendingPreviews) {
            pendingPreviews.pop_front();
        }
    }
    lifeline->Post([this]() { DrawNextPendingPreview(); });
}

std::size_t MainFrame::PendingPreviewCount() const
{
    std::lock_guard<std::mutex> lock(pendingPreviewMutex);
    return pendingPreviews.size();
}

void MainFrame::DrawNextPendingPreview()
{
    PendingPreview next;
    {
        std::lock_guard<std::mutex> lock(pendingPreviewMutex);
        // More calls are queued than frames kept when older frames were
        // dropped; the surplus calls find nothing to draw.
        if (pendingPreviews.empty()) {
            return;
        }
        next = std::move(pendingPreviews.front());
        pendingPreviews.pop_front();
    }
    // Queued just before the window was minimised or hidden.
    if (!previewVisible) {
        return;
    }
    UpdatePreview(next.frame, next.motion);
}

void MainFrame::UpdatePreview(const VideoFrame& frame, const MotionResult& motion)
{
    if (preview == nullptr) {
        return;
    }
    const wxSize target = PreviewTargetSize(preview->GetClientSize(), preview->GetMinSize());
    const wxImage canvas = previewRenderer.Render(frame, motion, target);
    if (!canvas.IsOk()) {
        return;
    }
    preview->SetBitmap(wxBitmapBundle(wxBitmap(canvas, wxBITMAP_SCREEN_DEPTH, 1.0)));
    preview->Refresh(true);
    preview->Update();
}

void MainFrame::KeepPicture(const std::vector<uint8_t>& rgb, int width, int height,
                            const std::string& name)
{
    const bool connected = driveUploader.IsAuthenticated();
    if (connected) {
        PostStatus(wxString::FromUTF8("Uploading to Google Drive: " + name));
    }
    pictures->Keep(rgb, width, height, name, connected || driveLapsed);
}

DeliveryResult MainFrame::DeliverPicture(const std::vector<uint8_t>& jpeg, const std::string& name,
                                         bool lookUpFirst, const std::atomic<bool>& cancel)
{
    const UploadResult result = driveUploader.UploadJpeg(jpeg, name, lookUpFirst, cancel);
    return DeliveryResult{ToDeliveryOutcome(result.outcome), result.message};
}

void MainFrame::ShowWaitingPictures(std::size_t waiting)
{
    wxString text;
    if (waiting == 1) {
        text = "1 picture waiting for Google Drive";
    } else if (waiting > 1) {
        text = wxString::Format("%zu pictures waiting for Google Drive", waiting);
    }
    SetStatusText(text, 1);
    monitor->OnPicturesWaiting(waiting);
}

void MainFrame::OnDriveAuthorizationLost(const wxString& reason)
{
    PostStatus(reason);
    SetDriveLapsed(true);
    pictures->SetDriveConnected(false);
    monitor->OnDriveAuthorizationLost(reason.utf8_string());
}

void MainFrame::SetDriveLapsed(bool lapsed)
{
    driveLapsed = lapsed;
    wxConfigBase* config = wxConfigBase::Get();
    if (config == nullptr) {
        return;
    }
    const auto configLock = LockConfigStore();
    if (lapsed) {
        config->Write(kDriveLapsedKey, "true");
    } else {
        config->DeleteEntry(kDriveLapsedKey, false);
    }
    config->Flush();
}

void MainFrame::OnOpenPictures(wxCommandEvent&)
{
    if (!openFolder(pictureSettings.folder)) {
        PostStatus("Could not open the picture folder: xdg-open did not start");
    }
}

void MainFrame::OnDriveConnect(wxCommandEvent&)
{
    PostStatus("Opening browser for Google Drive authentication...");
    auto onDone = [target = lifeline, this](bool success, const std::string& message) {
        const wxString text = wxString::FromUTF8(message);
        target->Post([this, success, text]() {
            PostStatus(text);
            if (success) {
                SetDriveLapsed(false);
                pictures->SetDriveConnected(true);
            } else {
                // Started from the desktop's menu, nobody reads standard output.
                const wxString hint = driveUploader.HasCredentials() ? wxString() :
                    "\n\nSave the OAuth client file of a Google \"Desktop app\" client as\n"
                        + wxString::FromUTF8(driveUploader.ClientFilePath());
                wxMessageBox(text + hint, "Drive Error", wxOK | wxICON_ERROR, this);
            }
        });
    };
    try {
        driveUploader.Authenticate(onDone);
    } catch (const std::system_error&) {
        // The authorization thread could not be started.
        onDone(false, "Google Drive authorization could not be started");
    }
}

void MainFrame::OnDriveDisconnect(wxCommandEvent&)
{
    driveUploader.Disconnect();
    // Pictures waiting now stay waiting and go after the next Connect.
    SetDriveLapsed(false);
    pictures->SetDriveConnected(false);
    PostStatus("Disconnected from Google Drive.");
}

void MainFrame::OnUpdateDriveConnect(wxUpdateUIEvent& event)
{
    event.Enable(!driveUploader.IsAuthenticated());
}

void MainFrame::OnUpdateDriveDisconnect(wxUpdateUIEvent& event)
{
    event.Enable(driveUploader.IsAuthenticated());
}

void MainFrame::OnAbout(wxCommandEvent&)
{
    wxMessageBox(kAboutMessage, "About", wxOK | wxICON_INFORMATION, this);
}

void MainFrame::OnDonation(wxCommandEvent&)
{
    wxDialog dialog(this, wxID_ANY, "Donate", wxDefaultPosition, wxDefaultSize,
                    wxDEFAULT_DIALOG_STYLE);
    auto* message = new wxStaticText(
        &dialog, wxID_ANY, "If you find Orvanta useful, please consider supporting the project.");
    message->Wrap(420);
    auto* support = new wxButton(&dialog, wxID_ANY, "Support Developer");
    auto* later = new wxButton(&dialog, wxID_CLOSE, "Next Time");

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->Add(support, 0, wxRIGHT, 8);
    buttons->Add(later, 0, 0, 0);
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(message, 0, wxALL | wxEXPAND, 16);
    sizer->Add(buttons, 0, wxALIGN_RIGHT | wxLEFT | wxRIGHT | wxBOTTOM, 16);
    dialog.SetSizerAndFit(sizer);

    support->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { openWebPage(DonationUrl()); });
    later->Bind(wxEVT_BUTTON, [&dialog](wxCommandEvent&) { dialog.EndModal(wxID_CLOSE); });

    dialog.Centre(wxBOTH);
    dialog.ShowModal();
}
