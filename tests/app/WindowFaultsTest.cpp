// Faults found by review: "&" in a status, the Settings dialog's first focus.
// Runs in test_app beside WindowTest.cpp.
#include "WindowFixture.h"

#include <dlfcn.h>

#include <wx/dialog.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>
#include <wx/timer.h>

namespace {

TEST_F(WindowTest, StatusTextWithAnAmpersandAndSettingsFocus)
{
    const wxString url = "rtsp://127.0.0.1:9/h264?ch=1&subtype=0";
    wxConfigBase::Get()->Write("/Stream/RtspUrl", url);
    MainFrame* frame = Open();
    auto* label = wxStaticCast(frame->FindWindowByName("statusText"), wxStaticText);
    const auto shown = [&](const wxString& start) {
        return PumpUntil([&] { return label->GetLabelText().StartsWith(start) && frame->GetStatusBar()->GetStatusText(0) == label->GetLabelText(); });
    };
    frame->PostStatus("Streaming 1280x720 from " + url);
    EXPECT_TRUE(shown("Streaming 1280x720 from " + url)) << label->GetLabelText();


    wxTimer inDialog;  // runs inside the dialog's modal loop
    wxString focused, selected;
    inDialog.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
        auto* field = wxStaticCast(frame->FindWindowByName("rtspUrl"), wxTextCtrl);
        // The dialog's own focus widget: the test display may not make the dialog active.
        const auto focusOf = reinterpret_cast<void* (*)(void*)>(dlsym(RTLD_DEFAULT, "gtk_window_get_focus"));
        focused = focusOf(wxGetTopLevelParent(field)->GetHandle()) == field->GetHandle() ? "url" : "other";
        selected = field->GetStringSelection();
        wxStaticCast(wxGetTopLevelParent(field), wxDialog)->EndModal(wxID_CANCEL);
    });
    inDialog.StartOnce(500);
    wxCommandEvent settings(wxEVT_MENU, wxID_PREFERENCES);
    frame->ProcessWindowEvent(settings);
    EXPECT_EQ((focused + " " + selected).ToStdString(), ("url " + url).ToStdString());
}

}  // namespace
