// The fixture of the in-process window tests: the real MainFrame on a test X
// server, between private buses (tests/fakes/buses.py), with a pump that no
// stream of queued calls can outrun.
#pragma once

#include "AppConfig.h"
#include "Application.h"
#include "CameraTiles.h"
#include "FakeProvider.h"
#include "MainFrame.h"
#include "MemoryStore.h"
#include "WxConfigStore.h"

#include <gtest/gtest.h>

#include <wx/app.h>
#include <wx/config.h>
#include <wx/evtloop.h>
#include <wx/stattext.h>
#include <wx/weakref.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>


using namespace std::chrono_literals;
inline const char* const kNoUrl = "No RTSP URL configured. Open Settings\u2026 to set one.";

// Queued calls are run here one at a time, never drained by the toolkit: a
// drain that runs until the queue is empty never ends while a decoder feeds
// previews faster than a slowed GUI thread draws them.
class WindowTestApp : public wxApp {
public:
    bool OnInit() override
    {
        SetVendorName("Tesselwick");
        SetAppName("Orvanta");
        wxInitAllImageHandlers();
        SuspendProcessingOfPendingEvents();
        return true;
    }
    bool RunOneQueuedCall()
    {
        m_handlersWithPendingEventsLocker.Enter();
        wxEvtHandler* next = m_handlersWithPendingEvents.empty() ? nullptr : m_handlersWithPendingEvents[0];
        m_handlersWithPendingEventsLocker.Leave();
        if (next != nullptr) next->ProcessPendingEvents();
        return next != nullptr;
    }
};

// One native event and one queued call per round, and one deadline that
// nothing outruns; idle work (deleting closed windows) once both are idle.
inline bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        wxEventLoopBase* loop = wxEventLoopBase::GetActive();
        const bool native = loop != nullptr && loop->Pending() && loop->Dispatch();
        const bool busy = static_cast<WindowTestApp*>(wxTheApp)->RunOneQueuedCall() || native;
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (!busy) wxTheApp->ProcessIdle(), std::this_thread::sleep_for(2ms);
    }
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/orvanta-window-XXXXXX";
        home = mkdtemp(pattern);
        setenv("XDG_CONFIG_HOME", home.c_str(), 1);
        // The default picture folder lies under HOME: never the developer's own.
        setenv("HOME", home.c_str(), 1);
        std::filesystem::create_directory(home + "/Pictures");
        OpenConfigStore();
    }
    void TearDown() override
    {
        for (auto& frame : frames) if (frame) frame->Close(true);
        PumpUntil([&] { return std::all_of(frames.begin(), frames.end(), [](auto& f) { return !f; }); });
        applications.clear();
        queue->Detach();
        CloseConfigStore();
        std::filesystem::remove_all(home);
    }
    // The application and its window, as the program builds them.
    MainFrame* Open(ApplicationServices services = Nowhere())
    {
        services.settings = std::make_shared<WxConfigStore>();
        services.post = [target = queue](std::function<void()> call) { target->Post(std::move(call)); };
        applications.push_back(std::make_unique<Application>(std::move(services)));
        auto* frame = new MainFrame("Orvanta", *applications.back(), queue);
        frame->Show(true);
        applications.back()->Start();
        frames.emplace_back(frame);
        return frame;
    }
    // Every service on a refused loopback port.
    static ApplicationServices Nowhere()
    {
        ApplicationServices services;
        services.drive.endpoints = {"http://127.0.0.1:9/a", "http://127.0.0.1:9/t", "http://127.0.0.1:9/f", "http://127.0.0.1:9/u", ""};
        services.drive.secureStore = std::make_shared<MemoryStore>();
        services.analyticsEndpoint = "http://127.0.0.1:9/mp/collect";
        return services;
    }
    // Drive on the provider stand-in, with a refresh token it accepts.
    static ApplicationServices WithProvider(const FakeProvider& provider)
    {
        ApplicationServices services = Nowhere();
        provider.Post("/control/refresh-token?value=granted");
        services.drive.endpoints = {provider.Url("/authorize"), provider.Url("/token"), provider.Url("/drive/v3/files"),
                                    provider.Url("/upload/drive/v3/files"), DriveEndpoints::Default().scope};
        services.drive.credentials = {"test-client-id", "test-client-secret"};
        services.drive.secureStore->Add("", "", "granted");
        return services;
    }
    static int Uploads(const FakeProvider& provider) { return std::atoi(provider.Get("/control/count?endpoint=upload").c_str()); }
    void StoreUrl(const std::string& url) { wxConfigBase::Get()->Write("/Stream/RtspUrl", wxString::FromUTF8(url)); }
    static wxString Label(MainFrame* frame) { return wxStaticCast(frame->FindWindowByName("statusText"), wxStaticText)->GetLabel(); }
    static bool WaitForLabel(MainFrame* frame, const wxString& prefix, std::chrono::milliseconds timeout = 20s)
    {
        return PumpUntil([&] { return Label(frame).StartsWith(prefix); }, timeout);
    }

    std::string home;
    UiQueuePtr queue = std::make_shared<UiQueue>(wxTheApp);
    std::vector<wxWeakRef<wxFrame>> frames;
    std::vector<std::unique_ptr<Application>> applications;
};

