#include "CameraDialog.h"

#include <wx/checkbox.h>
#include <wx/dialog.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <wx/msgdlg.h>

#include <functional>
#include <optional>
#include <string>

namespace {

struct CameraFields {
    std::string name;
    std::string url;
    bool reconnect = false;
};

// Why the fields cannot be taken (a sentence for the user), or empty.
using CameraFieldsCheck = std::function<std::string(const CameraFields& fields)>;

std::string TrimmedUtf8(wxString text)
{
    return text.Trim(true).Trim(false).utf8_string();
}

// The values accepted (name and URL trimmed), or none.
std::optional<CameraFields> AskCameraFields(wxWindow* parent, const wxString& title, const CameraFields& current,
                                            const CameraFieldsCheck& check)
{
    wxDialog dialog(parent, wxID_ANY, title, wxDefaultPosition, wxDefaultSize,
                    wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER);
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(new wxStaticText(&dialog, wxID_ANY, "&Name:"), 0, wxLEFT | wxRIGHT | wxTOP, 16);
    auto* nameField = new wxTextCtrl(&dialog, wxID_ANY, wxString::FromUTF8(current.name), wxDefaultPosition,
                                     wxSize(520, -1), 0, wxDefaultValidator, "cameraName");
    sizer->Add(nameField, 0, wxLEFT | wxRIGHT | wxTOP | wxEXPAND, 16);
    sizer->Add(new wxStaticText(&dialog, wxID_ANY, "RTSP stream &URL:"), 0, wxLEFT | wxRIGHT | wxTOP, 16);
    auto* urlField = new wxTextCtrl(&dialog, wxID_ANY, wxString::FromUTF8(current.url), wxDefaultPosition,
                                    wxSize(520, -1), 0, wxDefaultValidator, "rtspUrl");
    sizer->Add(urlField, 0, wxLEFT | wxRIGHT | wxTOP | wxEXPAND, 16);
    auto* reconnectField = new wxCheckBox(&dialog, wxID_ANY, "&Reconnect when the stream stops", wxDefaultPosition,
                                          wxDefaultSize, 0, wxDefaultValidator, "reconnect");
    reconnectField->SetValue(current.reconnect);
    sizer->Add(reconnectField, 0, wxLEFT | wxRIGHT | wxTOP, 16);
    // Why OK was refused; empty until it is.
    auto* problem = new wxStaticText(&dialog, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize, 0,
                                     "cameraProblem");
    problem->SetForegroundColour(*wxRED);
    sizer->Add(problem, 0, wxLEFT | wxRIGHT | wxTOP | wxEXPAND, 16);
    if (wxSizer* buttons = dialog.CreateStdDialogButtonSizer(wxOK | wxCANCEL))
        sizer->Add(buttons, 0, wxALL | wxEXPAND, 16);
    dialog.SetSizerAndFit(sizer);
    dialog.Centre(wxBOTH);

    const auto fields = [&] {
        return CameraFields{TrimmedUtf8(nameField->GetValue()), TrimmedUtf8(urlField->GetValue()),
                            reconnectField->GetValue()};
    };
    dialog.Bind(wxEVT_BUTTON, [&](wxCommandEvent& event) {
        const std::string reason = check ? check(fields()) : std::string();
        if (reason.empty()) {
            event.Skip();  // the dialog's own OK handling ends it
            return;
        }
        problem->SetLabelText(wxString::FromUTF8(reason));
        problem->Wrap(520);
        dialog.Fit();
    }, wxID_OK);
    nameField->SetFocus();
    nameField->SelectAll();
    if (dialog.ShowModal() != wxID_OK)
        return std::nullopt;
    return fields();
}

// The check both dialogs make before they accept: the application's own.
CameraFieldsCheck CheckFor(const Application& application, CameraId camera)
{
    return [&application, camera](const CameraFields& fields) {
        if (std::string problem = application.CameraNameProblem(camera, fields.name); !problem.empty())
            return problem;
        return fields.url.empty() ? std::string("Enter the camera's RTSP URL.") : std::string();
    };
}

}  // namespace

void AddCameraFromUser(wxWindow* parent, Application& application)
{
    const auto chosen = AskCameraFields(parent, "Add Camera", CameraFields{application.NewCameraName(), "", false},
                                        CheckFor(application, 0));
    if (!chosen)
        return;
    if (const std::string problem = application.AddCamera(chosen->name, chosen->url, chosen->reconnect); !problem.empty())
        wxMessageBox(wxString::FromUTF8(problem), "Add Camera", wxOK | wxICON_ERROR, parent);
}

void ChangeCameraFromUser(wxWindow* parent, Application& application, CameraId camera)
{
    CameraFields current;
    for (const CameraInfo& info : application.Cameras()) {
        if (info.id == camera)
            current = CameraFields{info.name, info.url, info.reconnect};
    }
    const auto chosen = AskCameraFields(parent, "Camera Settings", current, CheckFor(application, camera));
    if (!chosen)
        return;
    const std::string problem = application.ChangeCamera(camera, chosen->name, chosen->url, chosen->reconnect);
    if (!problem.empty())
        wxMessageBox(wxString::FromUTF8(problem), "Camera Settings", wxOK | wxICON_ERROR, parent);
}
