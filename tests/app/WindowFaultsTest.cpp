// Faults found by review: "&" in a status, a decoder thread that cannot start,
// the Settings dialog's first focus. Runs in test_app beside WindowTest.cpp.
#include "AppConfig.h"
#include "MainFrame.h"

#include <gtest/gtest.h>
#include <dlfcn.h>
#include <pthread.h>

#include <wx/app.h>
#include <wx/config.h>
#include <wx/dialog.h>
#include <wx/evtloop.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>
#include <wx/timer.h>

#include <filesystem>
#include <functional>
#include <thread>

namespace {

// One native event and the queued calls per round, until done or 20 s.
bool Pump(const std::function<bool()>& done)
{
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20); !done();) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (wxEventLoopBase::GetActive()->Pending()) wxEventLoopBase::GetActive()->Dispatch();
        wxTheApp->ResumeProcessingOfPendingEvents();  // the suite's app keeps queued calls for its own pump
        wxTheApp->ProcessPendingEvents();
        wxTheApp->SuspendProcessingOfPendingEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

TEST(WindowFaults, StatusTextThreadRefusalAndSettingsFocus)
{
    char home[] = "/tmp/orvanta-faults-XXXXXX";
    setenv("XDG_CONFIG_HOME", mkdtemp(home), 1);
    OpenConfigStore();
    const wxString url = "rtsp://127.0.0.1:9/h264?ch=1&subtype=0";
    wxConfigBase::Get()->Write("/Stream/RtspUrl", url);
    MainFrameServices services;
    services.analyticsEndpoint = "http://127.0.0.1:9/mp/collect";
    auto* frame = new MainFrame("Orvanta", std::move(services));
    frame->Show(true);
    auto* label = wxStaticCast(frame->FindWindowByName("statusText"), wxStaticText);
    const auto shown = [&](const wxString& start) {
        return Pump([&] { return label->GetLabelText().StartsWith(start) && frame->GetStatusBar()->GetStatusText(0) == label->GetLabelText(); });
    };
    frame->PostStatus("Streaming 1280x720 from " + url);
    EXPECT_TRUE(shown("Streaming 1280x720 from " + url)) << label->GetLabelText();

    // No thread can get its stack while the default asks for more than the address space.
    pthread_attr_t saved, huge;
    pthread_getattr_default_np(&saved);
    pthread_attr_init(&huge);
    pthread_attr_setstacksize(&huge, size_t{1} << 50);
    frame->StopStream();
    pthread_setattr_default_np(&huge);
    frame->StartStream();
    pthread_setattr_default_np(&saved);
    EXPECT_TRUE(shown("Could not start the stream: no thread could be created"));
    frame->StartStream();
    EXPECT_TRUE(shown("Unable to open stream: ")) << "the decoder ran again";

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
    frame->Close(true);  // stops the decoder before the window goes
    CloseConfigStore();
    std::filesystem::remove_all(home);
}

}  // namespace
