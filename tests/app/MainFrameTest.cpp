#include "WindowFixture.h"

#include <wx/menu.h>
#include <wx/statusbr.h>

#include <sys/stat.h>

#include <thread>

namespace {

unsigned FileMode(const fs::path& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

TEST_F(WindowTest, FirstStartWithoutUrlAsksForSettingsAndCreatesClientId)
{
    testing::internal::CaptureStdout();
    MainFrame* frame = Open();
    // Nothing queued has been shown before the event loop runs.
    EXPECT_EQ(Label(frame), "Connecting to stream...");
    EXPECT_EQ(frame->GetStatusBar()->GetStatusText(0), "Preparing RTSP viewer...");
    EXPECT_TRUE(WaitForText(frame, kNoUrl));
    PumpFor(200ms);
    EXPECT_EQ(CapturedStatusLines(), std::vector<std::string>{kNoUrl});

    // The identifier is written and flushed during construction; no URL is.
    const std::string contents = ReadFile(ConfigFile());
    EXPECT_NE(contents.find("ClientId="), std::string::npos) << contents;
    EXPECT_EQ(contents.find("RtspUrl"), std::string::npos) << contents;
    EXPECT_EQ(FileMode(ConfigFile()), 0600u);

    // ...and kept across starts.
    const std::string id = StoredString("/Analytics/ClientId");
    EXPECT_TRUE(wxString(id).Matches("*.*")) << id;
    ASSERT_TRUE(CloseAndWait(frame, false));
    Open();
    EXPECT_EQ(StoredString("/Analytics/ClientId"), id);
}

TEST_F(WindowTest, ExistingConfigFileBecomesPrivateAndGarbageDoesNotStopStartUp)
{
    delete wxConfigBase::Set(nullptr);
    fs::create_directories(ConfigFile().parent_path());
    WriteFile(ConfigFile(), "\x01\xff[[[ not a config\n=\n[Stream\nRtspUrl\n\xc3\x28\n");
    fs::permissions(ConfigFile(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                      fs::perms::others_read);
    OpenConfigStore();
    EXPECT_EQ(FileMode(ConfigFile()), 0600u);
    EXPECT_TRUE(WaitForText(Open(), kNoUrl));
}

TEST_F(WindowTest, MenusAreLaidOutWithTheirCommands)
{
    wxMenuBar* bar = Open()->GetMenuBar();
    ASSERT_EQ(bar->GetMenuCount(), 2u);
    EXPECT_EQ(bar->GetMenuLabel(0), "&Drive");
    EXPECT_EQ(bar->GetMenuLabel(1), "&Donation");

    const std::vector<std::pair<int, std::string>> driveItems = {
        {wxID_ABOUT, "&About\tF1"},      {wxID_PREFERENCES, "Settings\u2026\tCtrl-,"},
        {wxID_SEPARATOR, ""},            {wxID_EXIT, "E&xit\tCtrl-Q"},
        {ID_DRIVE_CONNECT, "Connect..."}, {ID_DRIVE_DISCONNECT, "Disconnect"},
    };
    wxMenu* drive = bar->GetMenu(0);
    ASSERT_EQ(drive->GetMenuItemCount(), driveItems.size());
    for (size_t i = 0; i < driveItems.size(); ++i) {
        wxMenuItem* item = drive->FindItemByPosition(i);
        EXPECT_EQ(item->GetId(), driveItems[i].first) << i;
        EXPECT_TRUE(item->IsSeparator() || item->GetItemLabel().utf8_string() == driveItems[i].second) << i;
    }
    wxMenuItem* donate = bar->GetMenu(1)->FindItemByPosition(0);
    EXPECT_EQ(donate->GetId(), ID_DONATION);
    EXPECT_EQ(donate->GetItemLabel(), "Donate...");
    EXPECT_EQ(donate->GetHelp(), "Support this project");
}

TEST_F(WindowTest, StatusTextsAppearInPostingOrderOnceEach)
{
    MainFrame* frame = Open();
    ASSERT_TRUE(WaitForText(frame, kNoUrl));

    testing::internal::CaptureStdout();
    frame->PostStatus("first");
    std::thread([frame] { frame->PostStatus(wxString::FromUTF8("zweite \u00e9tape \u2014 ok")); }).join();
    frame->PostStatus("third");
    // Posting from the GUI thread never shows synchronously.
    EXPECT_TRUE(Shows(frame, wxString::FromUTF8(kNoUrl)));

    EXPECT_TRUE(WaitForText(frame, "third"));
    PumpFor(100ms);
    EXPECT_EQ(CapturedStatusLines(), (std::vector<std::string>{"first", "zweite \u00e9tape \u2014 ok", "third"}));
}

TEST_F(WindowTest, SettingsStoreTrimmedUrlAndRestartTheStream)
{
    MainFrame* frame = Open();
    ASSERT_TRUE(WaitForText(frame, kNoUrl));

    // Port 9 on loopback: nothing listens, the connection is refused at once.
    const std::string url = "rtsp://127.0.0.1:9/nothing";
    testing::internal::CaptureStdout();
    AnswerSettings(frame, "  \t" + url + "  ");
    EXPECT_TRUE(WaitForOpenFailure(frame));
    PumpFor(300ms);
    const std::vector<std::string> lines = CapturedStatusLines();

    EXPECT_EQ(StoredString("/Stream/RtspUrl"), url);
    ASSERT_EQ(lines.size(), 3u) << testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "Applying new RTSP URL...");
    EXPECT_EQ(lines[1], "Connecting to RTSP stream...");
    EXPECT_EQ(lines[2].rfind(kOpenFailed, 0), 0u);

    // The next start reads the URL back and connects at once.
    ASSERT_TRUE(CloseAndWait(frame, false));
    EXPECT_TRUE(WaitForOpenFailure(Open()));
}

TEST_F(WindowTest, SettingsWithoutAChangeDoNothing)
{
    const std::string url = "rtsp://127.0.0.1:9/same";
    StoreUrl(url);
    MainFrame* frame = Open();
    ASSERT_TRUE(WaitForOpenFailure(frame));
    const auto storedBefore = fs::last_write_time(ConfigFile());

    const std::vector<std::pair<std::string, int>> answers = {
        {url, wxID_OK},                             // the URL already in force
        {"  " + url + " ", wxID_OK},                // the same once trimmed
        {"   ", wxID_OK},                           // blank cannot clear the URL
        {"", wxID_OK},                              // nor can empty
        {"rtsp://127.0.0.1:9/other", wxID_CANCEL},  // cancelled
    };
    for (const auto& [text, result] : answers) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(AnswerSettings(frame, text, result), url);
        PumpFor(300ms);
        EXPECT_TRUE(CapturedStatusLines().empty()) << text;
    }
    EXPECT_EQ(StoredString("/Stream/RtspUrl"), url);
    EXPECT_EQ(fs::last_write_time(ConfigFile()), storedBefore);
}

TEST_F(WindowTest, AFailedConnectionIsNeverRetriedByItself)
{
    StoreUrl("rtsp://127.0.0.1:9/refused");
    testing::internal::CaptureStdout();
    MainFrame* frame = Open();
    ASSERT_TRUE(WaitForOpenFailure(frame));
    PumpFor(1500ms);
    const std::vector<std::string> lines = CapturedStatusLines();
    ASSERT_EQ(lines.size(), 2u) << testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "Connecting to RTSP stream...");
    EXPECT_EQ(lines[1].rfind(kOpenFailed, 0), 0u);
    // Starting again while the ended thread is still held does nothing.
    testing::internal::CaptureStdout();
    frame->StartStream();
    PumpFor(200ms);
    EXPECT_TRUE(CapturedStatusLines().empty());
}

TEST_F(WindowTest, ExitCommandAndCloseBoxBothShutDown)
{
    StoreUrl("rtsp://127.0.0.1:9/closing");
    for (bool throughMenu : {true, false}) {
        MainFrame* frame = Open();
        ASSERT_TRUE(WaitForOpenFailure(frame));
        const WindowLifelinePtr lifeline = frame->Lifeline();
        EXPECT_TRUE(CloseAndWait(frame, throughMenu)) << throughMenu;
        // Once the window is gone, hand-offs from threads that outlived it
        // are dropped instead of reaching freed memory.
        bool ran = false;
        EXPECT_FALSE(lifeline->Post([&ran] { ran = true; }));
        PumpFor(50ms);
        EXPECT_FALSE(ran);
    }
}

TEST_F(WindowTest, LifelineRunsCallsOnTheGuiThreadWhileTheWindowLives)
{
    MainFrame* frame = Open();
    const WindowLifelinePtr lifeline = frame->Lifeline();
    std::thread::id ranOn;
    std::thread([&] { EXPECT_TRUE(lifeline->Post([&] { ranOn = std::this_thread::get_id(); })); }).join();
    EXPECT_TRUE(PumpUntil([&] { return ranOn != std::thread::id(); }));
    EXPECT_EQ(ranOn, std::this_thread::get_id());

    // A call still queued when the window goes is discarded with it.
    bool ran = false;
    EXPECT_TRUE(lifeline->Post([&ran] { ran = true; }));
    delete frame;
    PumpFor(100ms);
    EXPECT_FALSE(ran);
    EXPECT_FALSE(lifeline->Post([&ran] { ran = true; }));
}

}  // namespace
