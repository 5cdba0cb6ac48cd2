#include "SettingsDialog.h"

#include <wx/checkbox.h>
#include <wx/dialog.h>
#include <wx/filepicker.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <algorithm>

std::optional<GeneralSettings> AskGeneralSettings(wxWindow* parent, const GeneralSettings& current)
{
    wxDialog dialog(parent, wxID_ANY, "Settings", wxDefaultPosition, wxDefaultSize,
                    wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER);
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(new wxStaticText(&dialog, wxID_ANY, "RTSP stream URL:"), 0, wxLEFT | wxRIGHT | wxTOP, 16);
    auto* urlField = new wxTextCtrl(&dialog, wxID_ANY, wxString::FromUTF8(current.url), wxDefaultPosition,
                                    wxSize(520, -1), 0, wxDefaultValidator, "rtspUrl");
    sizer->Add(urlField, 0, wxALL | wxEXPAND, 16);
    auto* keepField = new wxCheckBox(&dialog, wxID_ANY, "Keep pictures on this computer", wxDefaultPosition,
                                     wxDefaultSize, 0, wxDefaultValidator, "keepPictures");
    keepField->SetValue(current.pictures.keepDelivered);
    sizer->Add(keepField, 0, wxLEFT | wxRIGHT, 16);
    auto* reconnectField = new wxCheckBox(&dialog, wxID_ANY, "Reconnect when the stream stops", wxDefaultPosition,
                                          wxDefaultSize, 0, wxDefaultValidator, "reconnect");
    reconnectField->SetValue(current.reconnect);
    sizer->Add(reconnectField, 0, wxLEFT | wxRIGHT | wxTOP, 16);
    auto* notifyField = new wxCheckBox(&dialog, wxID_ANY, "Show desktop notifications", wxDefaultPosition,
                                       wxDefaultSize, 0, wxDefaultValidator, "notify");
    notifyField->SetValue(current.notificationsEnabled);
    sizer->Add(notifyField, 0, wxLEFT | wxRIGHT | wxTOP, 16);
    sizer->Add(new wxStaticText(&dialog, wxID_ANY, "Picture folder:"), 0, wxLEFT | wxRIGHT | wxTOP, 16);
    auto* folderField = new wxDirPickerCtrl(&dialog, wxID_ANY, wxString::FromUTF8(current.pictures.folder),
                                            "Picture folder", wxDefaultPosition, wxDefaultSize,
                                            wxDIRP_USE_TEXTCTRL, wxDefaultValidator, "pictureFolder");
    sizer->Add(folderField, 0, wxLEFT | wxRIGHT | wxTOP | wxEXPAND, 16);
    sizer->Add(new wxStaticText(&dialog, wxID_ANY, "Largest size of the picture folder (MiB):"), 0,
               wxLEFT | wxRIGHT | wxTOP, 16);
    constexpr uint64_t kMiB = 1024 * 1024;
    constexpr int kLargestCapMiB = 1024 * 1024;
    auto* capField = new wxSpinCtrl(
        &dialog, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize, wxSP_ARROW_KEYS, 1, kLargestCapMiB,
        static_cast<int>(std::min<uint64_t>(current.pictures.capBytes / kMiB, kLargestCapMiB)), "pictureCapMiB");
    sizer->Add(capField, 0, wxLEFT | wxRIGHT | wxTOP, 16);
    if (wxSizer* buttons = dialog.CreateStdDialogButtonSizer(wxOK | wxCANCEL))
        sizer->Add(buttons, 0, wxALL | wxEXPAND, 16);
    dialog.SetSizerAndFit(sizer);
    dialog.Centre(wxBOTH);
    urlField->SetFocus();
    urlField->SelectAll();
    if (dialog.ShowModal() != wxID_OK)
        return std::nullopt;

    GeneralSettings chosen = current;
    chosen.url = urlField->GetValue().utf8_string();
    chosen.reconnect = reconnectField->GetValue();
    chosen.notificationsEnabled = notifyField->GetValue();
    chosen.pictures.keepDelivered = keepField->GetValue();
    chosen.pictures.capBytes = static_cast<uint64_t>(capField->GetValue()) * kMiB;
    wxString folder = folderField->GetPath();
    folder.Trim(true).Trim(false);
    chosen.pictures.folder = folder.utf8_string();
    return chosen;
}
