#pragma once

#include "AppConfig.h"
#include "MainFrame.h"
#include "TestDaemons.h"

#include <gtest/gtest.h>

#include <wx/app.h>
#include <wx/config.h>
#include <wx/dialog.h>
#include <wx/evtloop.h>
#include <wx/modalhook.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>
#include <wx/weakref.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline const char* const kNoUrl = "No RTSP URL configured. Open Settings\u2026 to set one.";
inline const char* const kOpenFailed = "Unable to open stream: ";

// Runs the GUI thread's queues (queued calls, GTK events, idle deletion of
// closed windows) until `done` holds or the time runs out.
inline bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (wxEventLoopBase* loop = wxEventLoopBase::GetActive()) {
            while (loop->Pending()) loop->Dispatch();
        }
        wxTheApp->ProcessPendingEvents();
        wxTheApp->ProcessIdle();
        if (done()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
}

// Runs the queues for a while whatever happens.
inline void PumpFor(std::chrono::milliseconds duration)
{
    PumpUntil([] { return false; }, duration);
}

// Stands in for the user in front of modal dialogs: every dialog the window
// shows is handed to `answer`, whose result ShowModal returns without the
// dialog ever appearing.
class ScriptedDialogs : public wxModalDialogHook {
public:
    explicit ScriptedDialogs(std::function<int(wxDialog*)> answer) : answer(std::move(answer)) { Register(); }
    ~ScriptedDialogs() override { Unregister(); }

    std::vector<std::string> titles;  // of every dialog shown, in order

protected:
    int Enter(wxDialog* dialog) override
    {
        titles.push_back(dialog->GetTitle().utf8_string());
        return answer(dialog);
    }
    void Exit(wxDialog*) override {}

private:
    std::function<int(wxDialog*)> answer;
};

// The "[Status] " lines among the lines of `output`, without their tag.
inline std::vector<std::string> StatusLines(const std::string& output)
{
    std::vector<std::string> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("[Status] ", 0) == 0) lines.push_back(line.substr(9));
    }
    return lines;
}

// The same of what was captured since testing::internal::CaptureStdout.
inline std::vector<std::string> CapturedStatusLines()
{
    return StatusLines(testing::internal::GetCapturedStdout());
}

// Sends a menu command to the window as the menu bar would.
inline void SendMenuCommand(MainFrame* frame, int id)
{
    wxCommandEvent event(wxEVT_MENU, id);
    event.SetEventObject(frame);
    frame->ProcessWindowEvent(event);
}

// Whether the window would enable the menu item now.
inline bool MenuItemEnabled(MainFrame* frame, int id)
{
    wxUpdateUIEvent event(id);
    event.SetEventObject(frame);
    frame->ProcessWindowEvent(event);
    return event.GetEnabled();
}

// Opens the settings dialog and answers it with `text` and `result`; returns
// the URL the dialog showed.
inline std::string AnswerSettings(MainFrame* frame, const std::string& text, int result = wxID_OK)
{
    std::string shown = "<no URL field>";
    ScriptedDialogs user([&](wxDialog* dialog) {
        auto* field = wxDynamicCast(dialog->FindWindowByName("rtspUrl"), wxTextCtrl);
        if (field == nullptr) return static_cast<int>(wxID_CANCEL);
        shown = field->GetValue().utf8_string();
        field->SetValue(wxString::FromUTF8(text));
        return result;
    });
    SendMenuCommand(frame, wxID_PREFERENCES);
    EXPECT_EQ(user.titles, std::vector<std::string>{"Settings"});
    return shown;
}

// A dark 320x240 RGB frame, with a bright 120x120 square at `squareX` when it
// is >= 0.
inline std::vector<uint8_t> SceneFrame(int squareX, uint8_t level = 20)
{
    std::vector<uint8_t> frame(320 * 240 * 3, level);
    for (int y = 60; squareX >= 0 && y < 180; ++y) {
        for (int x = squareX; x < std::min(320, squareX + 120); ++x) {
            std::fill_n(frame.begin() + (y * 320 + x) * 3, 3, 240);
        }
    }
    return frame;
}

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

    std::string StoredString(const char* key) { return wxConfigBase::Get()->Read(key, wxString()).utf8_string(); }

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

    static wxString Label(MainFrame* frame)
    {
        auto* label = wxDynamicCast(wxWindow::FindWindowByName("statusText", frame), wxStaticText);
        return label != nullptr ? label->GetLabel() : wxString("<no label>");
    }
    static bool Shows(MainFrame* frame, const wxString& text)
    {
        return Label(frame) == text && frame->GetStatusBar()->GetStatusText(0) == text;
    }
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
