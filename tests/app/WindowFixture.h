#pragma once

#include "AppConfig.h"
#include "MainFrame.h"
#include "TestDaemons.h"

#include <gtest/gtest.h>

#include <wx/config.h>
#include <wx/dialog.h>
#include <wx/modalhook.h>
#include <wx/weakref.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline const char* const kNoUrl = "No RTSP URL configured. Open Settings\u2026 to set one.";
inline const char* const kOpenFailed = "Unable to open stream: ";

// Runs the GUI thread's queues (queued calls, GTK events, idle deletion of
// closed windows) until `done` holds or the time runs out.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s);
// Runs the queues for a while whatever happens.
void PumpFor(std::chrono::milliseconds duration);

// Stands in for the user in front of modal dialogs: every dialog the window
// shows is handed to `answer`, whose result ShowModal returns without the
// dialog ever appearing.
class ScriptedDialogs : public wxModalDialogHook {
public:
    explicit ScriptedDialogs(std::function<int(wxDialog*)> answer);
    ~ScriptedDialogs() override;

    std::vector<std::string> titles;  // of every dialog shown, in order

protected:
    int Enter(wxDialog* dialog) override;
    void Exit(wxDialog*) override {}

private:
    std::function<int(wxDialog*)> answer;
};

// The "[Status] " lines among the lines of `output`, without their tag.
std::vector<std::string> StatusLines(const std::string& output);
// The same of what was captured since testing::internal::CaptureStdout.
inline std::vector<std::string> CapturedStatusLines() { return StatusLines(testing::internal::GetCapturedStdout()); }

// Sends a menu command to the window as the menu bar would.
void SendMenuCommand(MainFrame* frame, int id);
// Whether the window would enable the menu item now.
bool MenuItemEnabled(MainFrame* frame, int id);
// Opens the settings dialog and answers it with `text` and `result`; returns
// the URL the dialog showed.
std::string AnswerSettings(MainFrame* frame, const std::string& text, int result = wxID_OK);

// A dark 320x240 RGB frame, with a bright 120x120 square at `squareX` when it
// is >= 0.
std::vector<uint8_t> SceneFrame(int squareX, uint8_t level = 20);

// Each test gets its own configuration folder and closes every window it
// opened.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("XDG_CONFIG_HOME", (configHome.Path() + "/config").c_str(), 1);
        OpenConfigStore();
    }

    void TearDown() override
    {
        for (auto& frame : frames) {
            if (frame.get() != nullptr) frame->Close(true);
        }
        PumpUntil([&] {
            return std::all_of(frames.begin(), frames.end(), [](auto& frame) { return frame.get() == nullptr; });
        });
        delete wxConfigBase::Set(nullptr);
    }

    fs::path ConfigFile() const { return fs::path(configHome.Path()) / "config" / "Orvanta.conf"; }

    void StoreUrl(const std::string& url)
    {
        wxConfigBase::Get()->Write("/Stream/RtspUrl", wxString::FromUTF8(url));
        wxConfigBase::Get()->Flush();
    }

    std::string StoredString(const char* key)
    {
        return wxConfigBase::Get()->Read(key, wxString()).utf8_string();
    }

    MainFrame* Open(MainFrameServices services = MainFrameServices())
    {
        auto* frame = new MainFrame("Orvanta", std::move(services));
        frame->Show(true);
        frames.emplace_back(frame);
        return frame;
    }

    // Closes the window the way the library does after OnClose: the window
    // is destroyed at the next idle time.
    bool CloseAndWait(MainFrame* frame, bool throughMenu)
    {
        wxWeakRef<wxFrame> alive(frame);
        if (throughMenu) {
            SendMenuCommand(frame, wxID_EXIT);
        } else {
            frame->Close(false);
        }
        return PumpUntil([&] { return alive.get() == nullptr; });
    }

    static wxString Label(MainFrame* frame);
    static bool Shows(MainFrame* frame, const wxString& text);
    static bool WaitForText(MainFrame* frame, const char* text, std::chrono::milliseconds timeout = 10s)
    {
        return PumpUntil([&] { return Shows(frame, wxString::FromUTF8(text)); }, timeout);
    }
    static bool WaitForOpenFailure(MainFrame* frame, std::chrono::milliseconds timeout = 10s)
    {
        return PumpUntil([&] { return Label(frame).StartsWith(kOpenFailed); }, timeout);
    }

    TempDir configHome;
    std::vector<wxWeakRef<wxFrame>> frames;
};
