#include "WindowFixture.h"

#include <gtest/gtest.h>

#include <wx/config.h>
#include <wx/frame.h>
#include <wx/menu.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/weakref.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>


namespace {

TEST_F(WindowTest, FirstStartWithoutUrlAsksForSettingsAndCreatesClientId)
{
    testing::internal::CaptureStdout();
    MainFrame* frame = Open();

    // Nothing queued has been shown before the event loop runs.
    EXPECT_EQ(Label(frame), "Connecting to stream...");
    EXPECT_EQ(StatusBar(frame), "Preparing RTSP viewer...");

    const wxString noUrl = wxString::FromUTF8(kNoUrl);
    EXPECT_TRUE(PumpUntil([&] { return Shows(frame, noUrl); }));
    PumpFor(std::chrono::milliseconds(200));
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(StatusLines(output), std::vector<std::string>{kNoUrl});

    // The identifier is written and flushed during construction; no URL is.
    std::ifstream file(ConfigFile());
    std::stringstream contents;
    contents << file.rdbuf();
    EXPECT_NE(contents.str().find("ClientId="), std::string::npos) << contents.str();
    EXPECT_EQ(contents.str().find("RtspUrl"), std::string::npos) << contents.str();
    struct stat info {};
    ASSERT_EQ(stat(ConfigFile().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(WindowTest, ClientIdIsKeptAcrossStarts)
{
    MainFrame* first = Open();
    const wxString id = StoredString("/Analytics/ClientId");
    EXPECT_TRUE(wxString(id).Matches("*.*")) << id;
    ASSERT_TRUE(CloseAndWait(first, false));

    Open();
    EXPECT_EQ(StoredString("/Analytics/ClientId"), id);
}

TEST_F(WindowTest, ExistingConfigFileBecomesPrivateAndGarbageDoesNotStopStartUp)
{
    delete wxConfigBase::Set(nullptr);
    fs::create_directories(ConfigFile().parent_path());
    {
        std::ofstream garbage(ConfigFile(), std::ios::binary);
        garbage << "\x01\xff[[[ not a config\n=\n[Stream\nRtspUrl\n\xc3\x28\n";
    }
    fs::permissions(ConfigFile(), fs::perms::owner_read | fs::perms::owner_write |
                                      fs::perms::group_read | fs::perms::others_read);
    OpenConfigStore();

    struct stat info {};
    ASSERT_EQ(stat(ConfigFile().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    MainFrame* frame = Open();
    EXPECT_TRUE(PumpUntil([&] { return Shows(frame, wxString::FromUTF8(kNoUrl)); }));
}

TEST_F(WindowTest, MenusAreLaidOutWithTheirCommands)
{
    MainFrame* frame = Open();
    wxMenuBar* bar = frame->GetMenuBar();
    ASSERT_EQ(bar->GetMenuCount(), 2u);
    EXPECT_EQ(bar->GetMenuLabel(0), "&Drive");
    EXPECT_EQ(bar->GetMenuLabel(1), "&Donation");

    const std::vector<std::pair<int, std::string>> driveItems = {
        {wxID_ABOUT, "&About\tF1"},
        {wxID_PREFERENCES, "Settings\u2026\tCtrl-,"},
        {wxID_SEPARATOR, ""},
        {wxID_EXIT, "E&xit\tCtrl-Q"},
        {ID_DRIVE_CONNECT, "Connect..."},
        {ID_DRIVE_DISCONNECT, "Disconnect"},
    };
    wxMenu* drive = bar->GetMenu(0);
    ASSERT_EQ(drive->GetMenuItemCount(), driveItems.size());
    for (size_t i = 0; i < driveItems.size(); ++i) {
        wxMenuItem* item = drive->FindItemByPosition(i);
        EXPECT_EQ(item->GetId(), driveItems[i].first) << i;
        if (!item->IsSeparator()) {
            EXPECT_EQ(item->GetItemLabel().utf8_string(), driveItems[i].second) << i;
        }
    }
    wxMenuItem* donate = bar->GetMenu(1)->FindItemByPosition(0);
    EXPECT_EQ(donate->GetId(), ID_DONATION);
    EXPECT_EQ(donate->GetItemLabel(), "Donate...");
    EXPECT_EQ(donate->GetHelp(), "Support this project");
}

TEST_F(WindowTest, StatusTextsAppearInPostingOrderOnceEach)
{
    MainFrame* frame = Open();
    ASSERT_TRUE(PumpUntil([&] { return Shows(frame, wxString::FromUTF8(kNoUrl)); }));

    testing::internal::CaptureStdout();
    frame->PostStatus("first");
    std::thread([frame] { frame->PostStatus(wxString::FromUTF8("zweite \u00e9tape \u2014 ok")); }).join();
    frame->PostStatus("third");
    // Posting from the GUI thread never shows synchronously.
    EXPECT_TRUE(Shows(frame, wxString::FromUTF8(kNoUrl)));

    EXPECT_TRUE(PumpUntil([&] { return Shows(frame, "third"); }));
    PumpFor(std::chrono::milliseconds(100));
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(StatusLines(output),
              (std::vector<std::string>{"first", "zweite \u00e9tape \u2014 ok", "third"}));
}

TEST_F(WindowTest, SettingsStoreTrimmedUrlAndRestartTheStream)
{
    MainFrame* frame = Open();
    ASSERT_TRUE(PumpUntil([&] { return Shows(frame, wxString::FromUTF8(kNoUrl)); }));

    // Port 9 on loopback: nothing listens, the connection is refused at once.
    const std::string url = "rtsp://127.0.0.1:9/nothing";
    ScriptedDialogs user([&](wxDialog* dialog) {
        auto* field = wxDynamicCast(dialog->FindWindowByName("rtspUrl"), wxTextCtrl);
        if (field == nullptr) return static_cast<int>(wxID_CANCEL);
        field->SetValue(wxString::FromUTF8("  \t" + url + "  "));
        return static_cast<int>(wxID_OK);
    });
    testing::internal::CaptureStdout();
    SendMenuCommand(frame, wxID_PREFERENCES);
    EXPECT_TRUE(PumpUntil([&] { return Label(frame).StartsWith("Unable to open stream: "); }));
    PumpFor(std::chrono::milliseconds(300));
    const std::vector<std::string> lines = StatusLines(testing::internal::GetCapturedStdout());

    EXPECT_EQ(user.titles, std::vector<std::string>{"Settings"});
    EXPECT_EQ(StoredString("/Stream/RtspUrl").utf8_string(), url);
    ASSERT_EQ(lines.size(), 3u) << testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "Applying new RTSP URL...");
    EXPECT_EQ(lines[1], "Connecting to RTSP stream...");
    EXPECT_EQ(lines[2].rfind("Unable to open stream: ", 0), 0u);

    // The next start reads the URL back and connects at once.
    ASSERT_TRUE(CloseAndWait(frame, false));
    MainFrame* second = Open();
    EXPECT_TRUE(PumpUntil([&] { return Label(second).StartsWith("Unable to open stream: "); }));
}

TEST_F(WindowTest, SettingsWithoutAChangeDoNothing)
{
    const std::string url = "rtsp://127.0.0.1:9/same";
    StoreUrl(url);
    MainFrame* frame = Open();
    ASSERT_TRUE(PumpUntil([&] { return Label(frame).StartsWith("Unable to open stream: "); }));
    const auto storedBefore = fs::last_write_time(ConfigFile());

    struct Answer {
        std::string text;
        int result;
    };
    const std::vector<Answer> answers = {
        {url, wxID_OK},                        // the URL already in force
        {"  " + url + " ", wxID_OK},           // the same once trimmed
        {"   ", wxID_OK},                      // blank cannot clear the URL
        {"", wxID_OK},                         // nor can empty
        {"rtsp://127.0.0.1:9/other", wxID_CANCEL},  // cancelled
    };
    for (const Answer& answer : answers) {
        ScriptedDialogs user([&](wxDialog* dialog) {
            auto* field = wxDynamicCast(dialog->FindWindowByName("rtspUrl"), wxTextCtrl);
            EXPECT_EQ(field->GetValue().utf8_string(), url);
            field->SetValue(wxString::FromUTF8(answer.text));
            return answer.result;
        });
        testing::internal::CaptureStdout();
        SendMenuCommand(frame, wxID_PREFERENCES);
        PumpFor(std::chrono::milliseconds(300));
        EXPECT_TRUE(StatusLines(testing::internal::GetCapturedStdout()).empty()) << answer.text;
        EXPECT_EQ(user.titles.size(), 1u);
    }
    EXPECT_EQ(StoredString("/Stream/RtspUrl").utf8_string(), url);
    EXPECT_EQ(fs::last_write_time(ConfigFile()), storedBefore);
}

TEST_F(WindowTest, AFailedConnectionIsNeverRetriedByItself)
{
    StoreUrl("rtsp://127.0.0.1:9/refused");
    testing::internal::CaptureStdout();
    MainFrame* frame = Open();
    ASSERT_TRUE(PumpUntil([&] { return Label(frame).StartsWith("Unable to open stream: "); }));
    PumpFor(std::chrono::milliseconds(1500));
    const std::vector<std::string> lines = StatusLines(testing::internal::GetCapturedStdout());
    ASSERT_EQ(lines.size(), 2u) << testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "Connecting to RTSP stream...");
    EXPECT_EQ(lines[1].rfind("Unable to open stream: ", 0), 0u);
    // Starting again while the ended thread is still held does nothing.
    testing::internal::CaptureStdout();
    frame->StartStream();
    PumpFor(std::chrono::milliseconds(200));
    EXPECT_TRUE(StatusLines(testing::internal::GetCapturedStdout()).empty());
}

TEST_F(WindowTest, ExitCommandAndCloseBoxBothShutDown)
{
    for (bool throughMenu : {true, false}) {
        StoreUrl("rtsp://127.0.0.1:9/closing");
        MainFrame* frame = Open();
        ASSERT_TRUE(PumpUntil([&] { return Label(frame).StartsWith("Unable to open stream: "); }));
        const WindowLifelinePtr lifeline = frame->Lifeline();
        EXPECT_TRUE(CloseAndWait(frame, throughMenu)) << throughMenu;
        // Once the window is gone, hand-offs from threads that outlived it
        // are dropped instead of reaching freed memory.
        bool ran = false;
        EXPECT_FALSE(lifeline->Post([&ran] { ran = true; }));
        PumpFor(std::chrono::milliseconds(50));
        EXPECT_FALSE(ran);
    }
}

TEST_F(WindowTest, LifelineRunsCallsOnTheGuiThreadWhileTheWindowLives)
{
    MainFrame* frame = Open();
    const WindowLifelinePtr lifeline = frame->Lifeline();
    const std::thread::id guiThread = std::this_thread::get_id();
    std::thread::id ranOn;
    std::thread([&] { EXPECT_TRUE(lifeline->Post([&] { ranOn = std::this_thread::get_id(); })); })
        .join();
    EXPECT_TRUE(PumpUntil([&] { return ranOn != std::thread::id(); }));
    EXPECT_EQ(ranOn, guiThread);

    // A call still queued when the window goes is discarded with it.
    bool ran = false;
    EXPECT_TRUE(lifeline->Post([&ran] { ran = true; }));
    delete frame;
    PumpFor(std::chrono::milliseconds(100));
    EXPECT_FALSE(ran);
    EXPECT_FALSE(lifeline->Post([&ran] { ran = true; }));
}

}  // namespace
