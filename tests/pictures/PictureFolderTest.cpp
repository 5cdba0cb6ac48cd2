// Keeping pictures: whole files only, modes, leftovers, the colours of a kept
// picture, folders that cannot be written, the queue's bound, names, and the
// default folder.

#include "PictureTestFixture.h"

#include <turbojpeg.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>

extern char** environ;

namespace {

mode_t ModeOf(const std::string& path)
{
    struct stat info {};
    stat(path.c_str(), &info);
    return info.st_mode & 07777;
}

std::string ReadText(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), {});
}

TEST(PictureFolder, PicturesAppearWholeWithPrivateModesAndLeftoversGoAtStart)
{
    TempDir dir;
    const std::string folder = dir.root + "/Orvanta";
    std::atomic<bool> reading{true};
    std::atomic<int> seenWhole{0};
    std::atomic<int> seenPartial{0};
    // Polls while pictures are written: a final name must always hold a whole
    // JPEG. Each is read until seen whole, so that new ones are read at once.
    std::thread reader([&] {
        std::set<std::string> whole;
        while (reading) {
            for (const std::string& sub : {folder, folder + "/pending"}) {
                for (const std::string& name : Pictures(sub)) {
                    std::ifstream file(sub + "/" + name, std::ios::binary);
                    if (whole.count(sub + name) || !file.is_open())
                        continue;
                    const std::string bytes((std::istreambuf_iterator<char>(file)), {});
                    if (bytes.size() > 4 && bytes.compare(0, 2, "\xFF\xD8") == 0
                        && bytes.compare(bytes.size() - 2, 2, "\xFF\xD9") == 0) {
                        whole.insert(sub + name);
                        ++seenWhole;
                    } else {
                        ++seenPartial;
                    }
                }
            }
        }
    });
    {
        PictureFolder pictures(SettingsFor(folder), FakeDrive().Sender(), PictureEvents(), QuickStop());
        for (std::size_t i = 0; i < 12; ++i) {
            pictures.Keep(Packed(Planes(1280, 720, i + 1), 1280, 720), PictureName(i), std::string(), i % 2 == 0);
            WaitFor([&] { return Pictures(folder).size() + Pictures(folder + "/pending").size() == i + 1; });
        }
    }
    reading = false;
    reader.join();
    ASSERT_EQ(Pictures(folder).size() + Pictures(folder + "/pending").size(), 12u);
    EXPECT_EQ(seenPartial, 0);
    EXPECT_GT(seenWhole, 0);
    EXPECT_EQ(ModeOf(folder), 0700u);
    EXPECT_EQ(ModeOf(folder + "/pending"), 0700u);
    for (const std::string& name : Pictures(folder))
        EXPECT_EQ(ModeOf(folder + "/" + name), 0600u) << name;

    // What a writer that died left behind; the user's own files stay.
    fs::create_directories(folder + "/Garden/pending");
    const std::vector<std::string> leftovers = {
        folder + "/." + PictureName(40) + ".1234.1.tmp", folder + "/pending/." + PictureName(41) + ".1234.2.tmp",
        folder + "/..orvanta-pictures.json.1234.3.tmp", folder + "/Garden/pending/." + PictureName(42) + ".1234.4.tmp"};
    for (const std::string& path : leftovers) {
        std::ofstream(path) << "half a picture";
        const timeval anHourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
        utimes(path.c_str(), anHourAgo);
    }
    std::ofstream(folder + "/notes.tmp") << "mine";
    Reports reports;
    PictureFolder again(SettingsFor(folder), FakeDrive().Sender(), reports.Events(), QuickStop());
    ASSERT_TRUE(reports.Await([&] { return reports.Started(); }));
    for (const std::string& path : leftovers)
        EXPECT_FALSE(fs::exists(path)) << path;
    EXPECT_TRUE(fs::exists(folder + "/notes.tmp"));
}

TEST(PictureFolder, AKeptPictureHasTheFramesColours)
{
    // A red box on grey, on 2 x 2 blocks, in JFIF's YCbCr.
    const int width = 64;
    const int height = 48;
    const auto inBox = [](int x, int y) { return x >= 16 && x < 48 && y >= 16 && y < 32; };
    const uint8_t red[3] = {87, 96, 223};  // RGB (220, 30, 30)
    std::vector<uint8_t> planes(static_cast<std::size_t>(width) * height * 3 / 2, 128);
    uint8_t* const cb = planes.data() + width * height;
    uint8_t* const cr = cb + width * height / 4;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (!inBox(x, y))
                continue;
            planes[static_cast<std::size_t>(y) * width + x] = red[0];
            cb[(y / 2) * (width / 2) + x / 2] = red[1];
            cr[(y / 2) * (width / 2) + x / 2] = red[2];
        }
    }
    TempDir dir;
    const std::string folder = dir.root + "/Orvanta";
    PictureFolder pictures(SettingsFor(folder), FakeDrive().Sender(), PictureEvents(), QuickStop());
    pictures.Keep(Packed(planes, width, height), PictureName(1), std::string(), false);
    ASSERT_TRUE(WaitFor([&] { return Pictures(folder).size() == 1; }));
    const std::string jpeg = ReadText(folder + "/" + PictureName(1));

    const std::unique_ptr<void, int (*)(tjhandle)> decoder(tjInitDecompress(), tjDestroy);
    std::vector<uint8_t> decoded(static_cast<std::size_t>(width) * height * 3);
    ASSERT_EQ(tjDecompress2(decoder.get(), reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size(),
                            decoded.data(), width, 0, height, TJPF_RGB, 0),
              0);
    const struct {
        int x, y;
        uint8_t r, g, b;
    } samples[] = {{32, 24, 220, 30, 30}, {20, 18, 220, 30, 30}, {4, 4, 128, 128, 128}, {60, 44, 128, 128, 128}};
    for (const auto& sample : samples) {
        const uint8_t* pixel = &decoded[(static_cast<std::size_t>(sample.y) * width + sample.x) * 3];
        SCOPED_TRACE(std::to_string(sample.x) + "," + std::to_string(sample.y));
        EXPECT_NEAR(pixel[0], sample.r, 12);
        EXPECT_NEAR(pixel[1], sample.g, 12);
        EXPECT_NEAR(pixel[2], sample.b, 12);
    }
}

TEST(PictureFolder, PicturesThatCannotBeWrittenStillGoToDriveAndAreLostOnlyWithoutIt)
{
    struct Case {
        const char* what;
        const char* folder;  // under the test's root
        void (*breakIt)(const std::string& root);
        void (*repair)(const std::string& root);
        bool needsPermissions;
    };
    const Case cases[] = {
        {"missing parent", "/disk/Orvanta", [](const std::string&) {},
         [](const std::string& root) { fs::create_directory(root + "/disk"); }, false},
        {"a file where the folder belongs", "/Orvanta",
         [](const std::string& root) { std::ofstream(root + "/Orvanta") << "x"; },
         [](const std::string& root) { fs::remove(root + "/Orvanta"); }, false},
        {"read-only parent", "/locked/Orvanta",
         [](const std::string& root) {
             fs::create_directory(root + "/locked");
             chmod((root + "/locked").c_str(), 0500);
         },
         [](const std::string& root) { chmod((root + "/locked").c_str(), 0700); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsPermissions && geteuid() == 0)
            continue;  // root writes through permission bits
        TempDir dir;
        const std::string folder = dir.root + c.folder;
        c.breakIt(dir.root);
        const auto clock = std::make_shared<FakeClock>();
        FakeDrive drive(clock);
        Reports reports;
        PictureFolder pictures(SettingsFor(folder), drive.Sender(), reports.Events(), QuickStop(), clock);
        const auto keep = [&](int second, bool waits, int width = 32) {
            pictures.Keep(Packed(Planes(32, 24), width, 24), PictureName(second), std::string(), waits);
        };

        // Without Drive: neither kept nor sent, said once, never announced.
        testing::internal::CaptureStdout();
        keep(0, true);  // as after a lapsed sign-in
        keep(1, false);
        keep(9, false, 33);  // reported each time: once it is, the two are through
        ASSERT_TRUE(reports.Await([&] { return reports.StatusesWith(PictureName(9) + " dropped") == 1; }));
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "[Pictures] Lost " + PictureName(0) + "\n[Pictures] Lost " + PictureName(1) + "\n");
        EXPECT_EQ(reports.StatusesWith("Pictures cannot be kept in " + folder + " ("), 1u);
        EXPECT_EQ(reports.StatusesWith("and Google Drive is not connected: they are lost"), 1u);
        EXPECT_FALSE(fs::exists(dir.root + "/disk")) << "only the last component is ever created";

        // With Drive: held in memory and sent; on disk once it can be written.
        drive.Script({DeliveryOutcome::NotSent, DeliveryOutcome::NotSent});
        pictures.SetDriveConnected(true);
        keep(2, true);
        keep(3, true);
        ASSERT_TRUE(reports.Await([&] { return reports.Delivering().size() == 2; }));
        EXPECT_EQ(reports.StatusesWith(": they go to Google Drive only"), 1u);
        EXPECT_EQ(pictures.WaitingCount(), 2u);
        ASSERT_TRUE(clock->RunFor(2s));
        EXPECT_EQ(drive.Calls().size(), 2u);
        c.repair(dir.root);
        ASSERT_TRUE(clock->RunFor(1500ms));  // the next rescan
        EXPECT_EQ(Pictures(folder + "/pending"), (std::set<std::string>{PictureName(2), PictureName(3)}));
        EXPECT_EQ(pictures.WaitingCount(), 2u);
        ASSERT_TRUE(clock->RunFor(1min));
        EXPECT_EQ(drive.Stored(), (std::multiset<std::string>{PictureName(2), PictureName(3)}));
        EXPECT_EQ(Pictures(folder), (std::set<std::string>{PictureName(2), PictureName(3)}));
        EXPECT_EQ(pictures.WaitingCount(), 0u);
        keep(4, false);
        ASSERT_TRUE(
            reports.Await([&] { return reports.StatusesWith("kept in " + folder + " again; 2 were lost") == 1; }));
    }
}

TEST(PictureFolder, MemoryHoldsThreeHundredPicturesForDriveWhichAreCountedWhenLostAtExit)
{
    TempDir dir;
    const auto clock = std::make_shared<FakeClock>();
    FakeDrive drive(clock);
    drive.Script({DeliveryOutcome::NotSent});
    Reports reports;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    {
        PictureFolder pictures(SettingsFor(dir.root + "/disk/Orvanta"), drive.Sender(), reports.Events(),
                               QuickStop(), clock);
        pictures.SetDriveConnected(true);
        for (int i = 0; i < 302; ++i) {
            pictures.Keep(Packed(Planes(8, 8), 8, 8), PictureName(i), std::string(), true);
            ASSERT_TRUE(reports.Await([&] { return reports.Delivering().size() == static_cast<std::size_t>(i + 1); }));
            if (i == 0) {  // its attempt fails and it waits, not in flight
                ASSERT_TRUE(drive.Await([&] { return drive.Calls().size() == 1; }));
                ASSERT_TRUE(clock->RunFor(0ms));
            }
        }
        EXPECT_EQ(pictures.WaitingCount(), 300u);
        EXPECT_EQ(reports.StatusesWith("the oldest are lost"), 1u);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[Pictures] Lost " + PictureName(0) + "\n[Pictures] Lost " + PictureName(1) + "\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "300 pictures held for Google Drive were lost at exit\n");
}

TEST(PictureFolder, QueueKeepsTheLatestEightWhileTheWriterIsBusyAndCountsTheRest)
{
    TempDir dir;
    const std::string folder = dir.root + "/Orvanta";
    Reports reports;
    // The writer announces the first waiting picture and is held right there.
    std::mutex mutex;
    std::condition_variable changed;
    bool writerHeld = false;
    bool release = false;
    PictureEvents events = reports.Events();
    events.delivering = [&](const std::string&, const std::string&) {
        std::unique_lock<std::mutex> lock(mutex);
        writerHeld = true;
        changed.notify_all();
        changed.wait(lock, [&] { return release; });
    };
    PictureFolder pictures(SettingsFor(folder), FakeDrive().Sender(), events, QuickStop());
    pictures.Keep(Packed(Planes(32, 24), 32, 24), PictureName(0), std::string(), true);
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, kPatience, [&] { return writerHeld; }));
    }
    for (int i = 1; i <= 50; ++i)
        pictures.Keep(Packed(Planes(32, 24), 32, 24), PictureName(i), std::string(), false);
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
        changed.notify_all();
    }
    ASSERT_TRUE(reports.Await([&] { return reports.StatusesWith("42 pictures dropped") == 1; }));
    std::set<std::string> expected = {PictureName(0)};
    for (int i = 43; i <= 50; ++i)
        expected.insert(PictureName(i));
    std::set<std::string> kept = Pictures(folder);
    kept.merge(Pictures(folder + "/pending"));
    EXPECT_EQ(kept, expected);
}

TEST(PictureFolder, NameTakenBecomesNumberedAndIsSentUnderItsOwnName)
{
    TempDir dir;
    const std::string folder = dir.root + "/Orvanta";
    const std::string name = PictureName(7);
    const std::string base = name.substr(0, 22);
    const auto clock = std::make_shared<FakeClock>();
    FakeDrive drive(clock);
    Reports reports;
    testing::internal::CaptureStdout();
    {
        PictureFolder pictures(SettingsFor(folder), drive.Sender(), reports.Events(), QuickStop(), clock);
        // The clock went back: the same second three times, the last one kept only.
        pictures.Keep(Packed(Planes(32, 24), 32, 24), name, std::string(), true);
        pictures.Keep(Packed(Planes(32, 24), 32, 24), name, std::string(), true);
        pictures.Keep(Packed(Planes(32, 24), 32, 24), name, std::string(), false);
        ASSERT_TRUE(WaitFor([&] { return pictures.WaitingCount() == 2 && Pictures(folder).size() == 1; }));
        pictures.SetDriveConnected(true);
        ASSERT_TRUE(clock->RunFor(1min));
        EXPECT_EQ(pictures.WaitingCount(), 0u);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[Pictures] Saved " + name + "\n[Pictures] Saved " + base + "_2.jpg\n[Pictures] Saved " + base
                  + "_3.jpg\n");
    ASSERT_EQ(drive.Calls().size(), 2u);
    for (const FakeDrive::Call& call : drive.Calls()) {
        EXPECT_EQ(call.name, name);
        EXPECT_TRUE(call.isJpeg);
    }
    EXPECT_EQ(Pictures(folder), (std::set<std::string>{name, base + "_2.jpg", base + "_3.jpg"}));
}

// GLib reads the home and the desktop's folders once per process: each case
// runs in a child process of its own, which keeps one picture in the default
// folder (PictureSettingsChild below).
TEST(PictureSettings, TheDefaultFolderIsMadeAsTheDesktopMakesIt)
{
    if (std::getenv("ORVANTA_PICTURES_CHILD") != nullptr)
        GTEST_SKIP() << "a child spawns no child";
    struct Case {
        const char* what;
        std::string userDirs;  // "": none; "FIFO": a FIFO in its place
        std::string pictures;  // the desktop's pictures folder; "~" is the home
        std::vector<std::string> made;  // made as the desktop makes them
    };
    TempDir dir;
    const std::string elsewhere = dir.root + "/elsewhere/Photos";
    const Case cases[] = {
        {"no pictures folder yet", "", "~/Pictures", {"~/Pictures"}},
        {"the desktop names another", "XDG_PICTURES_DIR=\"$HOME/Media/Bilder\"\n", "~/Media/Bilder",
         {"~/Media", "~/Media/Bilder"}},
        {"the home folder turns it off", "XDG_PICTURES_DIR=\"$HOME/\"\n", "~/Pictures", {"~/Pictures"}},
        {"a FIFO in the desktop's file", "FIFO", "~/Pictures", {"~/Pictures"}},
        {"outside the home nothing is made", "XDG_PICTURES_DIR=\"" + elsewhere + "\"\n", elsewhere, {}},
    };
    const mode_t mask = umask(0);
    umask(mask);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string home = dir.root + "/" + std::to_string(&c - cases);
        const auto inHome = [&](const std::string& path) { return path[0] == '~' ? home + path.substr(1) : path; };
        fs::create_directories(home + "/.config");
        if (c.userDirs == "FIFO")
            mkfifo((home + "/.config/user-dirs.dirs").c_str(), 0600);
        else if (!c.userDirs.empty())
            std::ofstream(home + "/.config/user-dirs.dirs") << c.userDirs;

        std::vector<std::string> environment = {"HOME=" + home, "XDG_CONFIG_HOME=" + home + "/.config",
                                                "ORVANTA_PICTURES_CHILD=1"};
        for (char** variable = environ; *variable != nullptr; ++variable) {
            const std::string text = *variable;
            if (text.rfind("HOME=", 0) != 0 && text.rfind("XDG_CONFIG_HOME=", 0) != 0)
                environment.push_back(text);
        }
        std::vector<char*> envp;
        for (std::string& text : environment)
            envp.push_back(text.data());
        envp.push_back(nullptr);
        std::string self = "/proc/self/exe";
        std::string filter = "--gtest_filter=PictureSettingsChild.*";
        char* argv[] = {self.data(), filter.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, (home + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t child = 0;
        ASSERT_EQ(posix_spawn(&child, "/proc/self/exe", &actions, nullptr, argv, envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        const std::string output = ReadText(home + ".out");
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;

        const std::string pictures = inHome(c.pictures);
        EXPECT_NE(output.find("DEFAULT " + pictures + "/Orvanta\n"), std::string::npos) << output;
        for (const std::string& made : c.made)
            EXPECT_EQ(ModeOf(inHome(made)), 0755u & ~mask) << made;
        EXPECT_EQ(fs::exists(pictures + "/Orvanta/" + PictureName(1)), !c.made.empty());
        if (!c.made.empty()) {
            EXPECT_EQ(ModeOf(pictures + "/Orvanta"), 0700u);
        }
        EXPECT_FALSE(fs::exists(dir.root + "/elsewhere"));
    }
}

TEST(PictureSettingsChild, KeepsOnePictureInTheDefaultFolder)
{
    if (std::getenv("ORVANTA_PICTURES_CHILD") == nullptr)
        GTEST_SKIP() << "run by PictureSettings.TheDefaultFolderIsMadeAsTheDesktopMakesIt";
    PictureSettings settings;
    settings.folder = PictureSettings::DefaultFolder();
    std::printf("DEFAULT %s\n", settings.folder.c_str());
    Reports reports;
    PictureFolder pictures(settings, FakeDrive().Sender(), reports.Events(), QuickStop());
    pictures.Keep(Packed(Planes(32, 24), 32, 24), PictureName(1), std::string(), false);
    pictures.Keep(Packed(Planes(32, 24), 33, 24), PictureName(9), std::string(), false);  // reported: the first is through
    ASSERT_TRUE(reports.Await([&] { return reports.StatusesWith(PictureName(9) + " dropped") == 1; }));
}

}  // namespace
