#include "DriveTestSupport.h"
#include "FakeProvider.h"
#include "TestCamera.h"
#include "WindowFixture.h"

#include <wx/button.h>
#include <wx/msgdlg.h>

#include <sys/resource.h>

#include <future>
#include <regex>
#include <set>
#include <thread>

namespace {

class DriveWindowTest : public WindowTest {
protected:
    MainFrameServices Services()
    {
        MainFrameServices services;
        services.drive.endpoints = provider.Endpoints();
        services.drive.credentials = provider.Credentials();
        services.drive.secureStore = store;
        services.drive.launchBrowser = browser.Launcher();
        return services;
    }

    // A window already authorized, that has seen a still frame; the next
    // frame with motion starts an upload.
    MainFrame* OpenAuthorized()
    {
        store->Put(provider.AddRefreshToken());
        MainFrame* frame = Open(Services());
        frame->HandleDecodedFrame(SceneFrame(-1), 320, 240);
        return frame;
    }

    size_t Uploads() const { return provider.Count(FakeProvider::Endpoint::Upload); }

    FakeProvider provider;
    TestBrowser browser;
    std::shared_ptr<MemorySecureStore> store = std::make_shared<MemorySecureStore>();
};

TEST_F(DriveWindowTest, ConnectedWindowUploadsMotionAtMostOncePerSecondUntilDisconnected)
{
    TestCamera camera;
    ASSERT_TRUE(camera.Start());
    StoreUrl(camera.Url());

    // Failures are checked after the capture ends, or they would be captured.
    testing::internal::CaptureStdout();
    MainFrame* frame = Open(Services());
    const bool motionSeen = PumpUntil([&] { return Label(frame) == "Motion detected in stream."; }, 20s);
    PumpFor(1500ms);
    const size_t uploadsBeforeConnect = Uploads();
    const bool menusBefore = MenuItemEnabled(frame, ID_DRIVE_CONNECT) && !MenuItemEnabled(frame, ID_DRIVE_DISCONNECT);

    SendMenuCommand(frame, ID_DRIVE_CONNECT);
    const bool connected = PumpUntil([&] { return !MenuItemEnabled(frame, ID_DRIVE_CONNECT); }, 20s);
    const bool disconnectEnabledAfter = MenuItemEnabled(frame, ID_DRIVE_DISCONNECT);
    const bool uploaded = PumpUntil([&] { return Uploads() >= 3; }, 20s);

    SendMenuCommand(frame, ID_DRIVE_DISCONNECT);
    PumpFor(1500ms);  // an upload already under way may still finish
    const size_t uploadsAtDisconnect = Uploads();
    PumpFor(2500ms);
    const size_t uploadsLater = Uploads();
    const bool menusAtEnd = MenuItemEnabled(frame, ID_DRIVE_CONNECT) && !MenuItemEnabled(frame, ID_DRIVE_DISCONNECT);
    const bool closed = CloseAndWait(frame, true);
    const std::vector<std::string> lines = CapturedStatusLines();

    EXPECT_TRUE(motionSeen);
    EXPECT_EQ(uploadsBeforeConnect, 0u) << "nothing is uploaded without authorization";
    EXPECT_TRUE(menusBefore);
    ASSERT_TRUE(connected) << provider.LastRefusal();
    EXPECT_TRUE(disconnectEnabledAfter);
    EXPECT_TRUE(uploaded);
    EXPECT_EQ(uploadsLater, uploadsAtDisconnect) << "nothing is uploaded after Disconnect";
    EXPECT_TRUE(menusAtEnd);
    EXPECT_TRUE(closed);
    for (const char* text : {"Opening browser for Google Drive authentication...", "Connected to Google Drive",
                             "Disconnected from Google Drive."}) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), text), lines.end()) << text;
    }

    // One upload per second at most: names carry the second they were started in.
    const std::string uploading = "Uploading to Google Drive: ";
    std::vector<std::string> names;
    for (const std::string& line : lines) {
        if (line.rfind(uploading, 0) == 0) names.push_back(line.substr(uploading.size()));
    }
    const std::set<std::string> distinct(names.begin(), names.end());
    EXPECT_EQ(distinct.size(), names.size()) << testing::PrintToString(names);
    for (const std::string& name : names) {
        EXPECT_TRUE(std::regex_match(name, std::regex("motion_\\d{8}_\\d{6}\\.jpg"))) << name;
    }
    const std::vector<UploadedFile> files = provider.Files();
    ASSERT_EQ(files.size(), uploadsLater);
    std::set<std::string> stored;
    for (const UploadedFile& file : files) {
        stored.insert(file.name);
        EXPECT_EQ(file.width, 320);
        EXPECT_EQ(file.height, 240);
    }
    EXPECT_EQ(stored, distinct);
}

TEST_F(DriveWindowTest, FailedAuthorizationIsShownInTheStatusLineAndInAnErrorBox)
{
    provider.SetConsent(false);
    MainFrame* frame = Open(Services());
    ASSERT_TRUE(WaitForText(frame, kNoUrl));

    std::string boxMessage;
    long boxStyle = 0;
    ScriptedDialogs user([&](wxDialog* dialog) {
        if (auto* box = wxDynamicCast(dialog, wxMessageDialog)) {
            boxMessage = box->GetMessage().utf8_string();
            boxStyle = box->GetMessageDialogStyle();
        }
        return static_cast<int>(wxID_OK);
    });
    SendMenuCommand(frame, ID_DRIVE_CONNECT);
    ASSERT_TRUE(PumpUntil([&] { return !user.titles.empty(); }, 20s));
    PumpFor(100ms);

    EXPECT_EQ(user.titles, std::vector<std::string>{"Drive Error"});
    EXPECT_EQ(boxMessage, "No authorization code received");
    EXPECT_TRUE(boxStyle & wxICON_ERROR);
    EXPECT_EQ(Label(frame).utf8_string(), boxMessage);
    EXPECT_TRUE(MenuItemEnabled(frame, ID_DRIVE_CONNECT));
    EXPECT_FALSE(store->Has());
}

TEST_F(WindowTest, OpeningAndClosingSendTheTwoUsageEvents)
{
    LoopbackHttpServer collector(204);
    MainFrameServices services;
    services.analyticsEndpoint = collector.Url("/mp/collect");
    services.analyticsMeasurementId = "G-TEST123456";
    services.analyticsApiSecret = "s3cret_value+/";
    MainFrame* frame = Open(services);
    const std::string clientId = StoredString("/Analytics/ClientId");
    ASSERT_TRUE(PumpUntil([&] { return collector.Requests().size() == 1; }));
    // The closing event is sent before the window goes.
    ASSERT_TRUE(CloseAndWait(frame, false));
    const std::vector<RecordedRequest> events = collector.Requests();
    ASSERT_EQ(events.size(), 2u);

    const std::regex body("\\{\"client_id\":\"" + std::regex_replace(clientId, std::regex("\\."), "\\.") +
                          "\",\"events\":\\[\\{\"name\":\"(app_open|app_close)\",\"params\":\\{"
                          "\"engagement_time_msec\":100,\"session_id\":\"(\\d+)\"\\}\\}\\]\\}");
    std::smatch open, close;
    ASSERT_TRUE(std::regex_match(events[0].body, open, body)) << events[0].body;
    ASSERT_TRUE(std::regex_match(events[1].body, close, body)) << events[1].body;
    EXPECT_EQ(open[1], "app_open");
    EXPECT_EQ(close[1], "app_close");
    EXPECT_EQ(open[2], close[2]) << "one session for the run";
    for (const RecordedRequest& event : events) {
        EXPECT_EQ(event.target, "/mp/collect?measurement_id=G-TEST123456&api_secret=s3cret_value%2B%2F");
    }
}

TEST_F(WindowTest, AboutBoxAndDonationDialog)
{
    std::vector<wxString> opened;
    MainFrameServices services;
    services.openWebPage = [&opened](const wxString& url) { opened.push_back(url); };
    MainFrame* frame = Open(services);

    std::string aboutMessage;
    // dynamic_cast, not wxDynamicCast: the macro static_casts to the target
    // type before checking it, which is undefined for the other dialog.
    ScriptedDialogs user([&](wxDialog* dialog) {
        if (auto* box = dynamic_cast<wxMessageDialog*>(dialog)) {
            aboutMessage = box->GetMessage().utf8_string();
            return static_cast<int>(wxID_OK);
        }
        // The donation dialog: "Support Developer" twice, then "Next Time".
        for (wxWindow* child : dialog->GetChildren()) {
            auto* button = dynamic_cast<wxButton*>(child);
            for (int press = 0; button != nullptr && button->GetLabel() == "Support Developer" && press < 2; ++press) {
                wxCommandEvent click(wxEVT_BUTTON, button->GetId());
                click.SetEventObject(button);
                button->ProcessWindowEvent(click);
            }
        }
        return static_cast<int>(wxID_CLOSE);
    });
    SendMenuCommand(frame, wxID_ABOUT);
    SendMenuCommand(frame, ID_DONATION);

    EXPECT_EQ(user.titles, (std::vector<std::string>{"About", "Donate"}));
    EXPECT_EQ(aboutMessage,
              "Orvanta 1.0.0\n\nMonitors an RTSP stream, detects motion, and uploads captured frames "
              "to Google Drive.");
    EXPECT_EQ(opened, (std::vector<wxString>{DonationUrl(), DonationUrl()}));
}

// Lowers the address-space limit so that no new thread's stack fits, for the
// life of the object. The C library keeps the stacks of joined threads (the
// loopback servers' among them) for reuse, and a reused stack needs no new
// address space: threads parked here first take whatever it keeps.
class NoRoomForThreads {
public:
    NoRoomForThreads()
    {
        std::shared_future<void> released = release.get_future().share();
        for (int i = 0; i < 8; ++i) {
            parked.emplace_back([released] { released.wait(); });
        }
        getrlimit(RLIMIT_AS, &saved);
        const std::string status = ReadFile("/proc/self/status");
        const size_t vmSize = status.find("VmSize:");
        const long vmSizeKiB = vmSize == std::string::npos ? 0 : std::stol(status.substr(vmSize + 7));
        rlimit lowered = saved;
        lowered.rlim_cur = static_cast<rlim_t>(vmSizeKiB + 2048) * 1024;
        applied = vmSizeKiB > 0 && setrlimit(RLIMIT_AS, &lowered) == 0;
    }
    ~NoRoomForThreads()
    {
        setrlimit(RLIMIT_AS, &saved);
        release.set_value();
        for (std::thread& thread : parked) {
            thread.join();
        }
    }
    bool applied = false;

private:
    rlimit saved{};
    std::promise<void> release;
    std::vector<std::thread> parked;
};

TEST_F(DriveWindowTest, AnUploadThreadThatCannotStartIsReportedNotFatal)
{
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer's allocator hands freed blocks back to the system at
    // moments of its own, so a lowered limit may leave room for a stack after
    // all, and a thread that then starts needs an 11 MB fake stack that does
    // not fit: the process dies. The plain and ThreadSanitizer runs keep it.
    GTEST_SKIP() << "no address-space limit holds under AddressSanitizer";
#endif
    MainFrame* frame = OpenAuthorized();
    ASSERT_TRUE(WaitForText(frame, kNoUrl));
    ASSERT_FALSE(MenuItemEnabled(frame, ID_DRIVE_CONNECT));
    {
        NoRoomForThreads limit;
        ASSERT_TRUE(limit.applied);
        frame->HandleDecodedFrame(SceneFrame(100), 320, 240);
    }
    EXPECT_TRUE(WaitForText(frame, "Google Drive upload failed"));
    EXPECT_EQ(Uploads(), 0u);
}

TEST_F(DriveWindowTest, ClosingWhileTheBrowserHasNotAnsweredEndsPromptlyWithoutABox)
{
    MainFrameServices services = Services();
    services.drive.launchBrowser = browser.RecordingLauncher();  // the user never answers
    MainFrame* frame = Open(std::move(services));
    ScriptedDialogs user([](wxDialog*) { return static_cast<int>(wxID_OK); });
    SendMenuCommand(frame, ID_DRIVE_CONNECT);
    const int listenerPort = UrlPort(QueryValue(browser.WaitForUrl(), "redirect_uri"));

    const auto closing = std::chrono::steady_clock::now();
    ASSERT_TRUE(CloseAndWait(frame, true));
    EXPECT_LT(std::chrono::steady_clock::now() - closing, 5s);
    PumpFor(300ms);
    EXPECT_TRUE(user.titles.empty()) << "a completion after the window's end is dropped";
    EXPECT_TRUE(PortRefuses(listenerPort)) << "the redirect listener went with the window";
}

TEST_F(DriveWindowTest, ClosingDuringAnUploadEndsPromptly)
{
    FakeProvider::Answer never;
    never.hang = true;
    provider.Script(FakeProvider::Endpoint::Upload, never);
    MainFrame* frame = OpenAuthorized();
    frame->HandleDecodedFrame(SceneFrame(100), 320, 240);
    ASSERT_TRUE(PumpUntil([&] { return Uploads() == 1; }, 20s)) << provider.LastRefusal();

    const auto closing = std::chrono::steady_clock::now();
    ASSERT_TRUE(CloseAndWait(frame, false));
    EXPECT_LT(std::chrono::steady_clock::now() - closing, 5s);
    PumpFor(300ms);
}

}  // namespace
