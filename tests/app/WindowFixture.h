#pragma once

#include "AppConfig.h"
#include "MainFrame.h"
#include "WindowTestSupport.h"

#include <gtest/gtest.h>

#include <wx/config.h>
#include <wx/frame.h>
#include <wx/statusbr.h>
#include <wx/stattext.h>
#include <wx/weakref.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// Each test gets its own configuration folder and closes every window it
// opened.
inline const char* const kNoUrl = "No RTSP URL configured. Open Settings\u2026 to set one.";

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/orvanta-window-XXXXXX";
        configHome = mkdtemp(pattern);
        setenv("XDG_CONFIG_HOME", (configHome / "config").c_str(), 1);
        OpenConfigStore();
    }

    void TearDown() override
    {
        CloseAll();
        delete wxConfigBase::Set(nullptr);
        fs::remove_all(configHome);
    }

    fs::path ConfigFile() const { return configHome / "config" / "Orvanta.conf"; }

    void StoreUrl(const std::string& url)
    {
        wxConfigBase::Get()->Write("/Stream/RtspUrl", wxString::FromUTF8(url));
        wxConfigBase::Get()->Flush();
    }

    wxString StoredString(const char* key)
    {
        wxString value;
        wxConfigBase::Get()->Read(key, &value);
        return value;
    }

    MainFrame* Open(MainFrameServices services = MainFrameServices())
    {
        auto* frame = new MainFrame("Orvanta", std::move(services));
        frame->Show(true);
        frames.push_back(frame);
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

    void CloseAll()
    {
        for (auto& frame : frames) {
            if (frame.get() != nullptr) {
                frame->Close(true);
            }
        }
        PumpUntil([&] {
            for (auto& frame : frames) {
                if (frame.get() != nullptr) return false;
            }
            return true;
        });
        frames.clear();
    }

    static wxString Label(MainFrame* frame)
    {
        auto* label = wxDynamicCast(wxWindow::FindWindowByName("statusText", frame), wxStaticText);
        return label != nullptr ? label->GetLabel() : wxString("<no label>");
    }

    static wxString StatusBar(MainFrame* frame) { return frame->GetStatusBar()->GetStatusText(0); }

    static bool Shows(MainFrame* frame, const wxString& text)
    {
        return Label(frame) == text && StatusBar(frame) == text;
    }

    fs::path configHome;
    std::vector<wxWeakRef<wxFrame>> frames;
};

