// orvanta_test_app [--provider=BASE_URL]: the program's own start-up and exit (MyApp), its
// services on the provider stand-in or on a refused loopback port. Commands on standard
// input, one a line: "connect", "disconnect", "settings URL", "add-camera NAME URL",
// "minimise", "exit".
#include "App.h"
#include "HttpRequest.h"

#include <glib-unix.h>
#include <unistd.h>
#include <wx/dialog.h>
#include <wx/modalhook.h>
#include <wx/textctrl.h>
#include <wx/toplevel.h>

namespace {

ApplicationServices LoopbackServices(const std::string& base)
{
    ApplicationServices services;
    services.drive.endpoints = {base + "/authorize", base + "/token", base + "/drive/v3/files",
                                base + "/upload/drive/v3/files", DriveEndpoints::Default().scope};
    services.drive.credentials = {"test-client-id", "test-client-secret"};
    // An upload that Drive stores but answers too late is found out in seconds, not half a minute.
    services.drive.timings.uploadTimeout = std::chrono::seconds(3);
    // The provider plays the user's browser.
    services.drive.launchBrowser = [base](const std::string& url) {
        PerformHttpRequest(base + "/control/browse?url=" + UrlEncode(url), "", 0, {}, std::chrono::seconds(15));
        return true;
    };
    services.analyticsEndpoint = base + "/mp/collect";
    services.analyticsMeasurementId = "G-TEST", services.analyticsApiSecret = "test-secret";
    return services;
}

// Stands in for the user too: message boxes get OK, the Settings dialog the
// URL of the last "settings" command, the camera dialog the name and URL of
// the last "add-camera".
class TestApp : public MyApp, private wxModalDialogHook {
public:
    using MyApp::MyApp;
    bool OnInit() override
    {
        Register();
        input = g_unix_fd_add(STDIN_FILENO, G_IO_IN, &TestApp::OnInput, this);
        return MyApp::OnInit();
    }
    int OnExit() override
    {
        if (input != 0) g_source_remove(input);
        return Unregister(), MyApp::OnExit();
    }

private:
    int Enter(wxDialog* dialog) override
    {
        if (auto* field = dynamic_cast<wxTextCtrl*>(dialog->FindWindowByName("rtspUrl"))) field->SetValue(settingsUrl);
        if (auto* field = dynamic_cast<wxTextCtrl*>(dialog->FindWindowByName("cameraName"))) field->SetValue(cameraName);
        return wxID_OK;
    }
    void Exit(wxDialog*) override {}

    static gboolean OnInput(gint fd, GIOCondition, gpointer self)
    {
        auto* app = static_cast<TestApp*>(self);
        char buffer[512];
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count <= 0) return app->input = 0, G_SOURCE_REMOVE;
        app->pending.append(buffer, static_cast<size_t>(count));
        for (size_t end; (end = app->pending.find('\n')) != std::string::npos; app->pending.erase(0, end + 1))
            app->Run(app->pending.substr(0, end));
        return G_SOURCE_CONTINUE;
    }

    void Run(const std::string& line)
    {
        int id = line == "connect" ? int(ID_DRIVE_CONNECT) : line == "disconnect" ? int(ID_DRIVE_DISCONNECT)
                 : line == "exit" ? wxID_EXIT : wxID_NONE;
        if (line.rfind("settings ", 0) == 0) {
            settingsUrl = wxString::FromUTF8(line.substr(9));
            id = wxID_PREFERENCES;
        }
        if (line.rfind("add-camera ", 0) == 0 && line.find(' ', 11) != std::string::npos) {
            cameraName = wxString::FromUTF8(line.substr(11, line.find(' ', 11) - 11));
            settingsUrl = wxString::FromUTF8(line.substr(line.find(' ', 11) + 1));
            id = ID_ADD_CAMERA;
        }
        if (auto* frame = dynamic_cast<wxTopLevelWindow*>(GetTopWindow()); frame && line == "minimise")
            frame->Iconize(true);
        if (wxWindow* frame = GetTopWindow(); frame && id != wxID_NONE) {
            wxCommandEvent event(wxEVT_MENU, id);
            event.SetEventObject(frame);
            frame->ProcessWindowEvent(event);
        }
        wxWakeUpIdle();  // the input came from outside the toolkit, which would not look at its idle work
    }

    wxString settingsUrl;
    wxString cameraName;
    guint input = 0;
    std::string pending;
};

}  // namespace

int main(int argc, char** argv)
{
    const std::string option = argc > 1 ? argv[1] : "";
    // Nothing listens on the discard port: every request is refused at once.
    const std::string base = option.rfind("--provider=", 0) == 0 ? option.substr(11) : "http://127.0.0.1:9";
    int toolkitArgc = 1;  // the toolkit sees no option of ours
    char* toolkitArgv[] = {argv[0], nullptr};
    wxApp::SetInstance(new TestApp(LoopbackServices(base)));
    return wxEntry(toolkitArgc, toolkitArgv);
}
