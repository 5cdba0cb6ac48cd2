// The program's window started the way MyApp::OnInit starts it, but with its
// services taken from the command line, so that fault tests can run it as a
// process of its own against loopback servers, kill it, and watch it exit.
//
// Beside the program's own output it prints "[Harness] " lines: a heartbeat
// from a GUI-thread timer every 250 ms ("[Harness] alive N"), the dialogs
// that the window opens (answered at once, as a user would), the browser
// openings and its own start and end. Commands arrive as lines on standard
// input; SIGTERM closes the window as its close box would. The refresh token
// lives in the real Secret Service of the session bus the harness is given.
//
//   orvanta_fault_harness [--provider=URL] [--client-id=ID] [--client-secret=S]
//       [--browser=follow|ignore] [--analytics=URL --analytics-id=ID
//       --analytics-secret=S] [--request-timeout-ms=N] [--retry-pause-ms=N]
//       [--clock-offset-s=N]
//   orvanta_fault_harness --stored-token       prints the stored refresh token
//   orvanta_fault_harness --store-token=TOKEN  replaces the stored refresh token
//
// Commands: "connect", "disconnect", "settings URL" (applies URL in the
// settings dialog), "exit" (the Exit menu item).

#include "AppConfig.h"
#include "AppIcon.h"
#include "LoopbackHttp.h"
#include "MainFrame.h"
#include "SecureStore.h"

#include <glib-unix.h>
#include <glib.h>
#include <unistd.h>

#include <wx/app.h>
#include <wx/image.h>
#include <wx/modalhook.h>
#include <wx/msgdlg.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/timer.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Where the Drive client keeps the refresh token.
const char kStoreService[] = "com.tesselwick.orvanta.GoogleDrive";
const char kStoreAccount[] = "refresh_token";
// Nothing listens on the loopback discard port: requests are refused at once,
// so an unset endpoint never reaches anything but this machine.
const char kNowhere[] = "http://127.0.0.1:9";

// The --key=value options, each known to Option().
using HarnessOptions = std::map<std::string, std::string>;

const std::map<std::string, std::string> kDefaults = {
    {"provider", kNowhere}, {"client-id", ""}, {"client-secret", ""}, {"browser", "follow"},
    {"analytics", std::string(kNowhere) + "/mp/collect"}, {"analytics-id", ""}, {"analytics-secret", ""},
    // Empty: the Drive client's own.
    {"request-timeout-ms", ""}, {"retry-pause-ms", ""},
    // Added to the Drive client's clock, so that stored tokens can be made
    // due for refresh without waiting an hour.
    {"clock-offset-s", "0"}};
const char* const kNumbers[] = {"request-timeout-ms", "retry-pause-ms", "clock-offset-s"};

std::string Option(const HarnessOptions& given, const std::string& key)
{
    const auto it = given.find(key);
    return it != given.end() ? it->second : kDefaults.at(key);
}

// One line, flushed: the tests read standard output through a pipe.
void Say(const std::string& line)
{
    std::printf("[Harness] %s\n", line.c_str());
    std::fflush(stdout);
}

std::string OneLine(const wxString& text)
{
    std::string line = text.utf8_string();
    for (char& c : line) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return line;
}

// Plays the user's browser: fetches the consent page and follows its
// redirect to the program's loopback listener, on threads joined at exit.
class FollowingBrowser {
public:
    bool Open(const std::string& url)
    {
        std::lock_guard<std::mutex> lock(mutex);
        threads.emplace_back([url] {
            Say("browser finished: status " + std::to_string(HttpGet(url, true).status));
        });
        return true;
    }

    void JoinAll()
    {
        std::vector<std::thread> finishing;
        {
            std::lock_guard<std::mutex> lock(mutex);
            finishing.swap(threads);
        }
        for (std::thread& thread : finishing) {
            thread.join();
        }
    }

private:
    std::mutex mutex;
    std::vector<std::thread> threads;
};

// Answers every modal dialog at once: message boxes with OK, the settings
// dialog with the URL of the last "settings" command, anything else with
// Cancel. Each dialog is reported.
class AnsweringUser : public wxModalDialogHook {
public:
    AnsweringUser() { Register(); }

    wxString settingsUrl;

protected:
    int Enter(wxDialog* dialog) override
    {
        if (auto* box = dynamic_cast<wxMessageDialog*>(dialog)) {
            Say("dialog " + OneLine(box->GetTitle()) + ": " + OneLine(box->GetMessage()));
            return wxID_OK;
        }
        if (auto* field = dynamic_cast<wxTextCtrl*>(dialog->FindWindowByName("rtspUrl"))) {
            Say("dialog " + OneLine(dialog->GetTitle()));
            field->SetValue(settingsUrl);
            return wxID_OK;
        }
        Say("dialog " + OneLine(dialog->GetTitle()) + " (cancelled):" + Texts(dialog));
        return wxID_CANCEL;
    }

    static std::string Texts(wxWindow* window)
    {
        std::string texts;
        for (wxWindow* child : window->GetChildren()) {
            if (auto* text = dynamic_cast<wxStaticText*>(child)) {
                texts += " " + OneLine(text->GetLabel());
            }
            texts += Texts(child);
        }
        return texts;
    }

    void Exit(wxDialog*) override {}
};

class HarnessApp : public wxApp {
public:
    explicit HarnessApp(HarnessOptions options) : options(std::move(options)) {}

    bool OnInit() override;
    int OnExit() override;

private:
    MainFrameServices Services();
    void OnHeartbeat(wxTimerEvent&);
    void RunCommand(const std::string& line);
    void SendMenuCommand(int id);
    static gboolean OnStandardInput(gint fd, GIOCondition condition, gpointer self);
    static void OnTerminate(int);

    HarnessOptions options;
    FollowingBrowser browser;
    std::unique_ptr<AnsweringUser> user;
    wxTimer heartbeat;
    int beats = 0;
    guint inputSource = 0;
    std::string pendingInput;
};

MainFrameServices HarnessApp::Services()
{
    MainFrameServices services;
    const std::string base = Option(options, "provider");
    services.drive.endpoints = {base + "/o/oauth2/v2/auth", base + "/token",
                                base + "/drive/v3/files", base + "/upload/drive/v3/files",
                                DriveEndpoints::Default().scope};
    services.drive.credentials = {Option(options, "client-id"), Option(options, "client-secret")};
    if (const std::string ms = Option(options, "request-timeout-ms"); !ms.empty()) {
        services.drive.timings.requestTimeout = std::chrono::milliseconds(std::stol(ms));
    }
    if (const std::string ms = Option(options, "retry-pause-ms"); !ms.empty()) {
        services.drive.timings.retryPause = std::chrono::milliseconds(std::stol(ms));
    }
    if (const int64_t offset = std::stoll(Option(options, "clock-offset-s")); offset != 0) {
        services.drive.now = [offset]() {
            return static_cast<int64_t>(std::time(nullptr)) + offset;
        };
    }
    const bool follow = Option(options, "browser") == "follow";
    services.drive.launchBrowser = [this, follow](const std::string& url) {
        Say("browser opened");
        return follow ? browser.Open(url) : true;
    };
    services.analyticsEndpoint = Option(options, "analytics");
    services.analyticsMeasurementId = Option(options, "analytics-id");
    services.analyticsApiSecret = Option(options, "analytics-secret");
    services.openWebPage = [](const wxString& url) { Say("web page " + OneLine(url)); };
    return services;
}

bool HarnessApp::OnInit()
{
    // As the program does: diagnostic lines reach a pipe as they are written.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    SetVendorName("Tesselwick");
    SetAppName("Orvanta");
    OpenConfigStore();
    wxInitAllImageHandlers();
    ApplyMacAppIcon();

    user = std::make_unique<AnsweringUser>();
    auto* frame = new MainFrame("Orvanta", Services());
    frame->Show(true);

    SetSignalHandler(SIGTERM, &HarnessApp::OnTerminate);
    inputSource = g_unix_fd_add(STDIN_FILENO, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                &HarnessApp::OnStandardInput, this);
    heartbeat.SetOwner(this);
    Bind(wxEVT_TIMER, &HarnessApp::OnHeartbeat, this);
    heartbeat.Start(250);
    Say("started");
    return true;
}

int HarnessApp::OnExit()
{
    heartbeat.Stop();
    if (inputSource != 0) {
        g_source_remove(inputSource);
    }
    browser.JoinAll();
    user.reset();
    CloseConfigStore();
    Say("exiting");
    return wxApp::OnExit();
}

void HarnessApp::OnHeartbeat(wxTimerEvent&)
{
    Say("alive " + std::to_string(++beats));
}

gboolean HarnessApp::OnStandardInput(gint fd, GIOCondition, gpointer self)
{
    auto* app = static_cast<HarnessApp*>(self);
    char buffer[512];
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count <= 0) {
        app->inputSource = 0;
        return G_SOURCE_REMOVE;
    }
    app->pendingInput.append(buffer, static_cast<size_t>(count));
    for (size_t end; (end = app->pendingInput.find('\n')) != std::string::npos;) {
        const std::string line = app->pendingInput.substr(0, end);
        app->pendingInput.erase(0, end + 1);
        app->RunCommand(line);
    }
    return G_SOURCE_CONTINUE;
}

void HarnessApp::SendMenuCommand(int id)
{
    wxWindow* frame = GetTopWindow();
    if (frame == nullptr) {
        return;
    }
    wxCommandEvent event(wxEVT_MENU, id);
    event.SetEventObject(frame);
    frame->ProcessWindowEvent(event);
}

void HarnessApp::RunCommand(const std::string& line)
{
    Say("command " + line);
    const std::string settings = "settings ";
    if (line == "connect") {
        SendMenuCommand(ID_DRIVE_CONNECT);
    } else if (line == "disconnect") {
        SendMenuCommand(ID_DRIVE_DISCONNECT);
    } else if (line.compare(0, settings.size(), settings) == 0) {
        user->settingsUrl = wxString::FromUTF8(line.substr(settings.size()));
        SendMenuCommand(wxID_PREFERENCES);
    } else if (line == "exit") {
        SendMenuCommand(wxID_EXIT);
    } else {
        Say("unknown command");
    }
}

void HarnessApp::OnTerminate(int)
{
    // Runs from the event loop, not in signal context.
    Say("SIGTERM: closing the window");
    if (wxWindow* frame = wxTheApp->GetTopWindow()) {
        frame->Close(false);
    }
}

int StoreProbe(const std::string& mode, const std::string& token)
{
    std::unique_ptr<SecureStore> store = CreateSystemSecureStore();
    if (mode == "stored-token") {
        std::string stored;
        if (store->Get(kStoreService, kStoreAccount, stored)) {
            Say("stored refresh token: " + stored);
        } else {
            Say("no stored refresh token");
        }
        return 0;
    }
    store->Delete(kStoreService, kStoreAccount);
    const bool added = store->Add(kStoreService, kStoreAccount, token);
    Say(added ? "refresh token stored" : "refresh token not stored");
    return added ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    std::map<std::string, std::string> given;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.compare(0, 2, "--") != 0) {
            std::fprintf(stderr, "unexpected argument: %s\n", argv[i]);
            return 2;
        }
        const size_t equals = argument.find('=');
        given[argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2)] =
            equals == std::string::npos ? std::string() : argument.substr(equals + 1);
    }
    if (given.count("stored-token") != 0) {
        return StoreProbe("stored-token", {});
    }
    if (given.count("store-token") != 0) {
        return StoreProbe("store-token", given["store-token"]);
    }

    for (const auto& [key, value] : given) {
        if (kDefaults.count(key) == 0) {
            std::fprintf(stderr, "unknown option: --%s\n", key.c_str());
            return 2;
        }
    }
    bool valid = Option(given, "browser") == "follow" || Option(given, "browser") == "ignore";
    for (const char* number : kNumbers) {
        const std::string text = Option(given, number);
        char* end = nullptr;
        static_cast<void>(std::strtoll(text.c_str(), &end, 10));
        valid = valid && (text.empty() || (end != text.c_str() && *end == '\0'));
    }
    if (!valid) {
        std::fprintf(stderr, "bad value in the options\n");
        return 2;
    }

    // The toolkit sees no option of ours.
    int toolkitArgc = 1;
    char* toolkitArgv[] = {argv[0], nullptr};
    wxApp::SetInstance(new HarnessApp(std::move(given)));
    return wxEntry(toolkitArgc, toolkitArgv);
}
