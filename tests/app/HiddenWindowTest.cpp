// A minimised or hidden window uploads motion but draws only once shown again; runs under WindowTest.cpp's main.
#include "AppConfig.h"
#include "FakeProvider.h"
#include "MainFrame.h"
#include "SecureStore.h"
#include "TestCamera.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <wx/app.h>
#include <wx/config.h>
#include <wx/evtloop.h>
#include <wx/statbmp.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

extern char** environ;

namespace {

using namespace std::chrono_literals;

// Minimising is a request to the window manager, so the test display gets one.
struct WindowManager {
    pid_t pid = -1;
    char* argv[2] = {const_cast<char*>("openbox"), nullptr};
    const bool started = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv, environ) == 0;
    ~WindowManager() { if (started && kill(pid, SIGTERM) == 0) waitpid(pid, nullptr, 0); }
};

struct GrantedStore : SecureStore {
    bool Get(const std::string&, const std::string&, std::string& secret) override { return secret = "granted", true; }
    bool Add(const std::string&, const std::string&, const std::string&) override { return true; }
    bool Delete(const std::string&, const std::string&) override { return true; }
};

// Native events and, one at a time from wxAppConsole's protected queue, the queued calls the test app
// holds back for its pump, until `done` (polled every 50 ms; it may act too) holds or time runs out.
struct Pump : wxApp {
    static bool Until(const std::function<bool()>& done, std::chrono::seconds timeout = 20s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (auto poll = deadline - timeout; std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(1ms)) {
            if (wxEventLoopBase* loop = wxEventLoopBase::GetActive(); loop != nullptr && loop->Pending()) loop->Dispatch();
            (wxTheApp->*(&Pump::m_handlersWithPendingEventsLocker)).Enter();
            const wxEvtHandlerArray& queue = wxTheApp->*(&Pump::m_handlersWithPendingEvents);
            wxEvtHandler* next = queue.empty() ? nullptr : queue[0];
            (wxTheApp->*(&Pump::m_handlersWithPendingEventsLocker)).Leave();
            if (next != nullptr) next->ProcessPendingEvents();
            if (std::chrono::steady_clock::now() >= poll && (poll += 50ms, done())) return true;
        }
        return false;
    }
};

TEST(HiddenWindow, KeepsUploadingMotionAndDrawsAgainOnceShown)
{
    WindowManager manager;
    char home[] = "/tmp/orvanta-hidden-XXXXXX";
    setenv("XDG_CONFIG_HOME", mkdtemp(home), 1);
    OpenConfigStore();
    FakeProvider provider;
    TestCamera camera;
    ASSERT_TRUE(manager.started && camera.Start() && !provider.Url().empty());
    provider.Post("/control/refresh-token?value=granted");
    wxConfigBase::Get()->Write("/Stream/RtspUrl", wxString::FromUTF8(camera.Url()));
    MainFrameServices services;
    services.drive.endpoints = {provider.Url("/authorize"), provider.Url("/token"), provider.Url("/drive/v3/files"),
                                provider.Url("/upload/drive/v3/files"), DriveEndpoints::Default().scope};
    services.drive.credentials = {"test-client-id", "test-client-secret"};
    services.drive.secureStore = std::make_shared<GrantedStore>();
    services.analyticsEndpoint = "http://127.0.0.1:9/mp/collect";
    const auto uploads = [&] { return std::atoi(provider.Get("/control/count?endpoint=upload").c_str()); };

    for (const bool minimise : {true, false}) {
        SCOPED_TRACE(minimise ? "minimised" : "hidden");
        const std::unique_ptr<MainFrame> frame(new MainFrame("Orvanta", services));
        frame->Show();
        // Asked again until it holds: the window manager may not listen yet.
        const auto hide = [&](bool on) {
            return Pump::Until([&] { return (frame->IsIconized() || !frame->IsShown()) == on || (minimise ? frame->Iconize(on) : (void)frame->Show(!on), false); });
        };
        const auto preview = [&] { return wxStaticCast(frame->FindWindowByName("preview"), wxStaticBitmap)->GetBitmap(); };
        // Shown long enough to be mapped: hidden at once, a window may be mapped after all and count as shown.
        ASSERT_TRUE(Pump::Until([&, before = uploads()] { return uploads() > before; }));
        ASSERT_TRUE(hide(true));
        const wxBitmap shown = preview();
        EXPECT_TRUE(Pump::Until([&, atHiding = uploads()] { return uploads() >= atHiding + 2; })) << "motion is still found and uploaded";
        EXPECT_TRUE(preview().IsSameAs(shown)) << "drawn while nobody sees it";
        ASSERT_TRUE(hide(false));
        EXPECT_TRUE(Pump::Until([&] { return !preview().IsSameAs(shown); })) << "not drawn again";
    }
    CloseConfigStore();
    std::filesystem::remove_all(home);
}

}  // namespace
