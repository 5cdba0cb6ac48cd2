// Keeping pictures: whole files only, modes, leftovers, unwritable folders,
// the queue's bound, names, and where the folder is by default.

#include "PictureTestFixture.h"

#include <sys/time.h>

#include <atomic>
#include <fstream>
#include <iterator>

namespace {

mode_t ModeOf(const std::string& path)
{
    struct stat info {};
    stat(path.c_str(), &info);
    return info.st_mode & 07777;
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
        PictureFolder pictures(SettingsFor(folder), FakeDrive().Sender(), PictureEvents(), TinyTimings());
        for (std::size_t i = 0; i < 12; ++i) {
            pictures.Keep(Rgb(1280, 720, i + 1), 1280, 720, PictureName(i), i % 2 == 0);
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
    const std::vector<std::string> leftovers = {
        folder + "/." + PictureName(40) + ".1234.1.tmp",
        folder + "/pending/." + PictureName(41) + ".1234.2.tmp",
        folder + "/.orvanta-pictures.json.1234.3.tmp"};
    for (const std::string& path : leftovers) {
        std::ofstream(path) << "half a picture";
        const timeval anHourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
        utimes(path.c_str(), anHourAgo);
    }
    std::ofstream(folder + "/notes.tmp") << "mine";
    Reports reports;
    PictureFolder again(SettingsFor(folder), FakeDrive().Sender(), reports.Events(), TinyTimings());
    ASSERT_TRUE(WaitFor([&] { return reports.Started(); }));
    for (const std::string& path : leftovers)
        EXPECT_FALSE(fs::exists(path)) << path;
    EXPECT_TRUE(fs::exists(folder + "/notes.tmp"));
}

TEST(PictureFolder, UnwritableFolderDropsPicturesOnceReportedAndRecoversByItself)
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
         [](const std::string& root) { fs::create_directory(root + "/locked"); chmod((root + "/locked").c_str(), 0500); },
         [](const std::string& root) { chmod((root + "/locked").c_str(), 0700); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsPermissions && geteuid() == 0)
            continue;  // root writes through permission bits
        TempDir dir;
        const std::string folder = dir.root + c.folder;
        c.breakIt(dir.root);
        Reports reports;
        PictureFolder pictures(SettingsFor(folder), FakeDrive().Sender(), reports.Events(), TinyTimings());
        for (int i = 0; i < 3; ++i)
            pictures.Keep(Rgb(32, 24), 32, 24, PictureName(i), i == 0);
        // A frame of the wrong size is reported each time: once it is, the three are through.
        pictures.Keep(Rgb(32, 24), 33, 24, PictureName(9), false);
        ASSERT_TRUE(WaitFor([&] { return reports.StatusesWith(PictureName(9) + " dropped") == 1; }));
        EXPECT_EQ(reports.StatusesWith("cannot be saved in " + folder), 1u);
        EXPECT_FALSE(fs::exists(dir.root + "/disk")) << "only the last component is ever created";
        c.repair(dir.root);
        pictures.Keep(Rgb(32, 24), 32, 24, PictureName(3), false);
        ASSERT_TRUE(WaitFor([&] { return reports.StatusesWith("again; 3 could not be saved") == 1; }));
        EXPECT_EQ(reports.StatusesWith("cannot be saved"), 1u);
        EXPECT_EQ(Pictures(folder), std::set<std::string>{PictureName(3)});
    }
}

TEST(PictureFolder, QueueKeepsTheLatestEightWhileTheWriterIsBusyAndCountsTheRest)
{
    TempDir dir;
    const std::string folder = dir.root + "/Orvanta";
    Reports reports;
    // The writer reports the first waiting picture and is held right there.
    std::mutex mutex;
    std::condition_variable changed;
    bool writerHeld = false;
    bool release = false;
    PictureEvents events = reports.Events();
    events.waitingChanged = [&](std::size_t waiting) {
        std::unique_lock<std::mutex> lock(mutex);
        if (waiting != 1 || writerHeld)
            return;
        writerHeld = true;
        changed.notify_all();
        changed.wait(lock, [&] { return release; });
    };
    PictureFolder pictures(SettingsFor(folder), FakeDrive().Sender(), events, TinyTimings());
    pictures.Keep(Rgb(32, 24), 32, 24, PictureName(0), true);
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return writerHeld; }));
    }
    for (int i = 1; i <= 50; ++i)
        pictures.Keep(Rgb(32, 24), 32, 24, PictureName(i), false);
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
        changed.notify_all();
    }
    ASSERT_TRUE(WaitFor([&] { return reports.StatusesWith("42 pictures dropped") == 1; }));
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
    FakeDrive drive;
    Reports reports;
    testing::internal::CaptureStdout();
    {
        PictureFolder pictures(SettingsFor(folder), drive.Sender(), reports.Events(), TinyTimings());
        // The clock went back: the same second three times, the last one kept only.
        pictures.Keep(Rgb(32, 24), 32, 24, name, true);
        pictures.Keep(Rgb(32, 24), 32, 24, name, true);
        pictures.Keep(Rgb(32, 24), 32, 24, name, false);
        ASSERT_TRUE(WaitFor([&] { return pictures.WaitingCount() == 2 && Pictures(folder).size() == 1; }));
        pictures.SetDriveConnected(true);
        ASSERT_TRUE(WaitFor([&] { return pictures.WaitingCount() == 0 && drive.Calls().size() == 2; }));
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[Pictures] Saved " + name + "\n[Pictures] Saved " + base + "_2.jpg\n[Pictures] Saved " + base
                  + "_3.jpg\n");
    for (const FakeDrive::Call& call : drive.Calls()) {
        EXPECT_EQ(call.name, name);
        EXPECT_TRUE(call.isJpeg);
    }
    EXPECT_EQ(Pictures(folder), (std::set<std::string>{name, base + "_2.jpg", base + "_3.jpg"}));
}

TEST(PictureSettings, DefaultFolderIsTheDesktopPicturesFolder)
{
    struct Case {
        const char* userDirs;  // nullptr: no user-dirs.dirs
        const char* expected;  // under the test's home
    };
    const Case cases[] = {
        {nullptr, "/Pictures/Orvanta"},
        {"# written by xdg-user-dirs-update\nXDG_PICTURES_DIR=\"$HOME/Bilder\"\n", "/Bilder/Orvanta"},
        {"XDG_PICTURES_DIR=\"$HOME/\"\n", "/Pictures/Orvanta"},
        {"XDG_PICTURES_DIR=\"/srv/photos/\"\n", "!/srv/photos/Orvanta"},
    };
    TempDir dir;
    const std::string config = dir.root + "/config";
    fs::create_directory(config);
    setenv("HOME", dir.root.c_str(), 1);
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.userDirs ? c.userDirs : "none");
        fs::remove(config + "/user-dirs.dirs");
        if (c.userDirs)
            std::ofstream(config + "/user-dirs.dirs") << c.userDirs;
        const std::string expected = c.expected[0] == '!' ? c.expected + 1 : dir.root + c.expected;
        EXPECT_EQ(PictureSettings::DefaultFolder(), expected);
    }
}

}  // namespace
