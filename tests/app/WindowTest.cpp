// The real MainFrame in this process, on a test X server, between private
// buses (tests/fakes/buses.py), with the camera and the provider stand-in.
#include "AppConfig.h"
#include "FakeProvider.h"
#include "MainFrame.h"
#include "PreviewImage.h"
#include "SecureStore.h"
#include "StdoutCapture.h"
#include "TestCamera.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <wx/app.h>
#include <wx/config.h>
#include <wx/evtloop.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/weakref.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;
const char* const kNoUrl = "No RTSP URL configured. Open Settings\u2026 to set one.";

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
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s)
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

// The Drive client's refresh token, in memory.
struct MemoryStore : SecureStore {
    bool Get(const std::string&, const std::string&, std::string& secret) override { return !(secret = item).empty(); }
    bool Add(const std::string&, const std::string&, const std::string& secret) override { return item = secret, true; }
    bool Delete(const std::string&, const std::string&) override { return item.clear(), true; }
    std::string item;
};

std::vector<uint8_t> Flat(int width, int height, uint8_t level) { return std::vector<uint8_t>(width * height * 3, level); }

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/orvanta-window-XXXXXX";
        home = mkdtemp(pattern);
        setenv("XDG_CONFIG_HOME", home.c_str(), 1);
        OpenConfigStore();
    }
    void TearDown() override
    {
        for (auto& frame : frames) if (frame) frame->Close(true);
        PumpUntil([&] { return std::all_of(frames.begin(), frames.end(), [](auto& f) { return !f; }); });
        CloseConfigStore();
        std::filesystem::remove_all(home);
    }
    MainFrame* Open(MainFrameServices services = Nowhere())
    {
        auto* frame = new MainFrame("Orvanta", std::move(services));
        frame->Show(true);
        frames.emplace_back(frame);
        return frame;
    }
    // Every service on a refused loopback port.
    static MainFrameServices Nowhere()
    {
        MainFrameServices services;
        services.drive.endpoints = {"http://127.0.0.1:9/a", "http://127.0.0.1:9/t", "http://127.0.0.1:9/f", "http://127.0.0.1:9/u", ""};
        services.drive.secureStore = std::make_shared<MemoryStore>();
        services.analyticsEndpoint = "http://127.0.0.1:9/mp/collect";
        return services;
    }
    void StoreUrl(const std::string& url) { wxConfigBase::Get()->Write("/Stream/RtspUrl", wxString::FromUTF8(url)); }
    static wxString Label(MainFrame* frame) { return wxStaticCast(frame->FindWindowByName("statusText"), wxStaticText)->GetLabel(); }
    static bool WaitForLabel(MainFrame* frame, const wxString& prefix, std::chrono::milliseconds timeout = 20s)
    {
        return PumpUntil([&] { return Label(frame).StartsWith(prefix); }, timeout);
    }

    std::string home;
    std::vector<wxWeakRef<wxFrame>> frames;
};

TEST_F(WindowTest, CameraPasswordNeverReachesTheStatusLineNorStandardOutput)
{
    TestCamera camera;
    ASSERT_TRUE(camera.Start());
    StoreUrl(std::string(camera.Url()).insert(7, "door:s3cr3t-pw@"));
    StdoutCapture output;
    MainFrame* frame = Open();
    const bool streaming = WaitForLabel(frame, "Streaming ");
    const wxString label = Label(frame), bar = frame->GetStatusBar()->GetStatusText(0);
    const bool receiving = WaitForLabel(frame, "Receiving frames: ");
    const std::string text = output.Take();
    ASSERT_TRUE(streaming) << text;
    EXPECT_TRUE(label.Contains("door:***@") && bar == label) << label;
    EXPECT_TRUE(receiving) << "the decoder connects with the password";
    EXPECT_EQ(text.find("s3cr3t-pw"), std::string::npos) << text;
}

TEST_F(WindowTest, CallsForAWindowThatIsGoneAreDropped)
{
    MainFrame* frame = Open();
    const WindowLifelinePtr lifeline = frame->Lifeline();
    bool ran = false;
    EXPECT_TRUE(lifeline->Post([&ran] { ran = true; }));
    frames.clear();
    delete frame;  // the queued call goes with the window
    EXPECT_FALSE(lifeline->Post([&ran] { ran = true; }));
    PumpUntil([] { return false; }, 100ms);
    EXPECT_FALSE(ran);
}

TEST_F(WindowTest, ASlowGuiThreadDrawsOnlyTheNewestFewFrames)
{
    MainFrame* frame = Open();
    ASSERT_TRUE(WaitForLabel(frame, wxString::FromUTF8(kNoUrl)));
    std::thread([frame] {
        for (int i = 0; i < 50; ++i) frame->HandleDecodedFrame(Flat(320, 240, static_cast<uint8_t>(i * 4)), 320, 240);
    }).join();
    EXPECT_LE(frame->PendingPreviewCount(), MainFrame::kMaxPendingPreviews);
    ASSERT_TRUE(PumpUntil([&] { return frame->PendingPreviewCount() == 0; }));
    PumpUntil([] { return false; }, 200ms);
    const wxImage shown = wxStaticCast(frame->FindWindowByName("preview"), wxStaticBitmap)->GetBitmap().ConvertToImage();
    EXPECT_EQ(shown.GetRed(shown.GetWidth() / 2, shown.GetHeight() / 2), 49 * 4) << "the newest frame is shown";
}

TEST(PreviewImage, EqualsTheToolkitsOwnHighQualityScalingUpToTheEdges)
{
    const std::pair<wxSize, wxSize> cases[] = {
        {{322, 242}, {1068, 571}}, {{322, 240}, {160, 120}}, {{1920, 1080}, {1068, 571}},
        {{641, 479}, {300, 200}},  {{333, 777}, {100, 91}},  {{65, 65}, {64, 64}},
    };
    uint32_t seed = 12345;
    for (const auto& [size, target] : cases) {
        std::vector<uint8_t> frame(size.GetWidth() * size.GetHeight() * 3);
        for (uint8_t& byte : frame) byte = static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
        wxImage scaled(size.GetWidth(), size.GetHeight(), frame.data(), true);
        const PreviewPlacement at = ComputePreviewPlacement(target.GetWidth(), target.GetHeight(), size.GetWidth(), size.GetHeight());
        scaled = scaled.Scale(at.scaledWidth, at.scaledHeight, wxIMAGE_QUALITY_HIGH);
        wxImage expected(target);
        expected.SetRGB(wxRect(target), 18, 24, 38);
        expected.Paste(scaled, at.x, at.y);
        const wxImage actual = ComposePreviewImage(frame, size.GetWidth(), size.GetHeight(), target);
        ASSERT_EQ(actual.GetSize(), target);
        EXPECT_TRUE(std::equal(expected.GetData(), expected.GetData() + 3 * target.GetWidth() * target.GetHeight(), actual.GetData()))
            << size.GetWidth() << "x" << size.GetHeight() << " into " << target.GetWidth() << "x" << target.GetHeight();
    }
}

TEST_F(WindowTest, ConfigurationFileIsPrivateAndGarbageInItDoesNotStopTheWindow)
{
    const std::string file = home + "/Orvanta.conf";
    for (const char* contents : {"", "\x01\xff[[[ not a config\n=\n[Stream\nRtspUrl\n\xc3\x28\n"}) {
        CloseConfigStore();
        std::remove(file.c_str());
        if (*contents != '\0') std::ofstream(file) << contents;
        chmod(file.c_str(), 0644);
        OpenConfigStore();
        MainFrame* frame = Open();
        EXPECT_TRUE(WaitForLabel(frame, wxString::FromUTF8(kNoUrl))) << contents;
        struct stat info {};
        EXPECT_EQ(stat(file.c_str(), &info) == 0 ? info.st_mode & 0777 : 0, 0600u) << contents;
    }
}

TEST_F(WindowTest, ARestartQueuedWhileTheWindowClosesStartsNothing)
{
    StoreUrl("rtsp://127.0.0.1:9/door");
    MainFrame* frame = Open();
    ASSERT_TRUE(WaitForLabel(frame, "Unable to open stream: "));
    StdoutCapture output;
    // As the wake's delayed restart does when it lands during the close.
    frame->Lifeline()->Post([frame] { frame->StartStream(); });
    frame->Close(false);
    const bool gone = PumpUntil([&] { return !frames[0]; });
    const std::string text = output.Take();
    EXPECT_TRUE(gone);
    EXPECT_EQ(text.find("Connecting to RTSP stream..."), std::string::npos) << text;
}

// Lowers the address-space limit so that no new thread's stack fits. The C
// library reuses the stacks of ended threads, so parked threads take those first.
class NoRoomForThreads {
public:
    NoRoomForThreads()
    {
        for (int i = 0; i < 8; ++i) parked.emplace_back([released = released] { released.wait(); });
        getrlimit(RLIMIT_AS, &saved);
        std::ifstream status("/proc/self/status");
        long vmSizeKiB = 0;
        for (std::string word; status >> word && word != "VmSize:";) {}
        status >> vmSizeKiB;
        rlimit lowered = saved;
        lowered.rlim_cur = static_cast<rlim_t>(vmSizeKiB + 2048) * 1024;
        applied = vmSizeKiB > 0 && setrlimit(RLIMIT_AS, &lowered) == 0;
    }
    ~NoRoomForThreads()
    {
        setrlimit(RLIMIT_AS, &saved);
        release.set_value();
        for (std::thread& thread : parked) thread.join();
    }
    bool applied = false;
    rlimit saved{};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::vector<std::thread> parked;
};

TEST_F(WindowTest, AnUploadThreadThatCannotStartLeavesAStatusNotACrash)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's fake stacks ignore the address-space limit that refuses the thread";
#endif
    MainFrameServices services = Nowhere();
    services.drive.secureStore->Add("", "", "refresh-token");
    MainFrame* frame = Open(std::move(services));
    ASSERT_TRUE(WaitForLabel(frame, wxString::FromUTF8(kNoUrl)));
    frame->HandleDecodedFrame(Flat(320, 240, 20), 320, 240);
    std::vector<uint8_t> moved = Flat(320, 240, 20);
    std::fill(moved.begin() + 320 * 3 * 60, moved.begin() + 320 * 3 * 180, 240);  // a bright band: motion
    {
        NoRoomForThreads limit;
        ASSERT_TRUE(limit.applied);
        frame->HandleDecodedFrame(moved, 320, 240);
    }
    EXPECT_TRUE(PumpUntil([&] { return Label(frame) == "Google Drive upload failed"; }));
}

TEST_F(WindowTest, AConnectedWindowUploadsMotionAtMostOncePerSecondUntilDisconnected)
{
    FakeProvider provider;
    TestCamera camera;
    ASSERT_TRUE(camera.Start());
    provider.Post("/control/refresh-token?value=granted");
    StoreUrl(camera.Url());
    MainFrameServices services = Nowhere();
    services.drive.endpoints = {provider.Url("/authorize"), provider.Url("/token"), provider.Url("/drive/v3/files"),
                                provider.Url("/upload/drive/v3/files"), DriveEndpoints::Default().scope};
    services.drive.credentials = {"test-client-id", "test-client-secret"};
    services.drive.secureStore->Add("", "", "granted");
    MainFrame* frame = Open(std::move(services));
    const auto uploads = [&] { return std::atoi(provider.Get("/control/count?endpoint=upload").c_str()); };

    ASSERT_TRUE(PumpUntil([&] { return uploads() >= 1; }, 30s)) << Label(frame);
    PumpUntil([] { return false; }, 3s);
    EXPECT_LE(uploads(), 5) << "at most one upload a second in 3 s, one more perhaps under way";

    wxCommandEvent disconnect(wxEVT_MENU, ID_DRIVE_DISCONNECT);
    frame->ProcessWindowEvent(disconnect);
    // Statuses show in posting order: by then every one posted before Disconnect has been shown.
    ASSERT_TRUE(WaitForLabel(frame, "Disconnected from Google Drive."));
    StdoutCapture output;
    PumpUntil([] { return false; }, 3s);
    const std::string text = output.Take();
    int started = 0;  // one upload decided at the very moment of Disconnect may still show
    for (size_t at = text.find("Uploading to"); at != std::string::npos; at = text.find("Uploading to", at + 1)) ++started;
    EXPECT_LE(started, 1) << text;
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    // A failed toolkit assertion fails the running test instead of opening a dialog.
    wxSetAssertHandler([](const wxString& file, int line, const wxString&, const wxString& cond, const wxString& msg) {
        ADD_FAILURE() << "wx assertion at " << file << ":" << line << ": " << cond << " " << msg;
    });
    wxApp::SetInstance(new WindowTestApp);
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) return 2;
    int result = 0;
    {
        wxEventLoop loop;
        wxEventLoopActivator activate(&loop);
        result = RUN_ALL_TESTS();
    }
    wxTheApp->OnExit();
    wxEntryCleanup();
    return result;
}
