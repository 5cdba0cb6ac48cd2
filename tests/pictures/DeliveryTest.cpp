// Delivering waiting pictures through the sender: outcomes, restarts, two
// instances on one folder, the size cap and destruction mid-send.

#include "PictureTestFixture.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <utility>

namespace {

using Outcome = DeliveryOutcome;

TEST(PictureDelivery, EachOutcomeDecidesWhatIsSentNextAndWhatIsKept)
{
    struct Case {
        const char* what;
        std::vector<Outcome> script;
        int pictures;
        bool keepDelivered;
        std::vector<std::pair<int, bool>> calls;  // picture, lookUpFirst
        std::vector<int> minGapsMs;               // between consecutive calls
        std::size_t troubleStatuses;
        bool needsReconnect;
    };
    const Case cases[] = {
        {"not sent until it goes through, backing off and doubling",
         {Outcome::NotSent, Outcome::NotSent, Outcome::NotSent}, 1, true,
         {{0, false}, {0, false}, {0, false}, {0, false}}, {40, 80, 80}, 1, false},
        {"unknown is looked up before it is sent again", {Outcome::Unknown}, 1, true,
         {{0, false}, {0, true}}, {40}, 1, false},
        {"refused is set aside and the next goes on", {Outcome::Refused}, 2, true,
         {{0, false}, {1, false}}, {5}, 1, false},
        {"not authorized waits for a new connection", {Outcome::NotAuthorized}, 1, true,
         {{0, false}, {0, false}}, {150}, 1, true},
        {"Drive full waits", {Outcome::DriveFull, Outcome::DriveFull}, 1, true,
         {{0, false}, {0, false}, {0, false}}, {40, 80}, 1, false},
        {"catching up keeps the least interval", {}, 3, true,
         {{0, false}, {1, false}, {2, false}}, {5, 5}, 0, false},
        {"keeping off removes what Drive holds", {}, 2, false, {{0, false}, {1, false}}, {5}, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string folder = dir.root + "/Orvanta";
        FakeDrive drive;
        drive.script.assign(c.script.begin(), c.script.end());
        Reports reports;
        PictureFolder pictures(SettingsFor(folder, c.keepDelivered), drive.Sender(), reports.Events(),
                               TinyTimings());
        ASSERT_TRUE(WaitFor([&] { return reports.Started(); }));
        for (int i = 0; i < c.pictures; ++i)
            pictures.Keep(Rgb(32, 24), 32, 24, PictureName(i), true);
        ASSERT_TRUE(WaitFor([&] { return pictures.WaitingCount() == static_cast<std::size_t>(c.pictures); }));
        pictures.SetDriveConnected(true);
        if (c.needsReconnect) {
            ASSERT_TRUE(WaitFor([&] { return drive.Calls().size() == 1; }));
            std::this_thread::sleep_for(150ms);
            EXPECT_EQ(drive.Calls().size(), 1u);
            pictures.SetDriveConnected(true);
        }
        ASSERT_TRUE(WaitFor([&] { return pictures.WaitingCount() == 0 && drive.Calls().size() == c.calls.size(); }));
        const std::vector<FakeDrive::Call> calls = drive.Calls();
        for (std::size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(calls[i].name, PictureName(c.calls[i].first)) << "call " << i;
            EXPECT_EQ(calls[i].lookUpFirst, c.calls[i].second) << "call " << i;
            EXPECT_TRUE(calls[i].isJpeg);
            if (i > 0) {
                EXPECT_GE(calls[i].at - calls[i - 1].at, std::chrono::milliseconds(c.minGapsMs[i - 1]))
                    << "call " << i;
            }
        }
        std::set<std::string> all;
        for (int i = 0; i < c.pictures; ++i)
            all.insert(PictureName(i));
        // A refused picture stays in the folder whether or not delivered ones do.
        const bool refused = !c.script.empty() && c.script[0] == Outcome::Refused;
        EXPECT_EQ(Pictures(folder), c.keepDelivered ? all : refused ? std::set<std::string>{PictureName(0)}
                                                                    : std::set<std::string>{});
        EXPECT_TRUE(Pictures(folder + "/pending").empty());
        EXPECT_EQ(reports.StatusesWith("trouble"), c.troubleStatuses);
    }
}

TEST(PictureDelivery, RestartSendsWhatWaitedOldestFirstLookingUpTheFirst)
{
    TempDir dir;
    const std::string folder = dir.root + "/Orvanta";
    {
        Reports reports;
        PictureFolder pictures(SettingsFor(folder), FakeDrive().Sender(), reports.Events(), TinyTimings());
        pictures.Keep(Rgb(32, 24), 32, 24, PictureName(5), true);
        pictures.Keep(Rgb(32, 24), 32, 24, PictureName(3), true);
        pictures.Keep(Rgb(32, 24), 32, 24, PictureName(4), true);
        ASSERT_TRUE(WaitFor([&] { return pictures.WaitingCount() == 3; }));
    }
    // Taken in the other order than their names say (the clock was set back).
    const timespec older[2] = {{0, UTIME_OMIT}, {time(nullptr) - 20, 0}};
    const timespec newer[2] = {{0, UTIME_OMIT}, {time(nullptr) - 10, 0}};
    utimensat(AT_FDCWD, (folder + "/pending/" + PictureName(5)).c_str(), older, 0);
    utimensat(AT_FDCWD, (folder + "/pending/" + PictureName(3)).c_str(), newer, 0);

    FakeDrive drive;
    Reports reports;
    PictureFolder pictures(SettingsFor(folder), drive.Sender(), reports.Events(), TinyTimings());
    ASSERT_TRUE(WaitFor([&] { return reports.Started(); }));
    fs::remove(folder + "/pending/" + PictureName(4));  // by hand: simply not sent
    pictures.SetDriveConnected(true);
    ASSERT_TRUE(WaitFor([&] { return drive.Calls().size() == 2 && pictures.WaitingCount() == 0; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(drive.Calls().size(), 2u);
    EXPECT_EQ(reports.StatusesWith(""), 0u) << "no status for it";
    const std::vector<FakeDrive::Call> calls = drive.Calls();
    EXPECT_EQ(calls[0].name, PictureName(5));
    EXPECT_TRUE(calls[0].lookUpFirst) << "it may have been in flight when the last run ended";
    EXPECT_EQ(calls[1].name, PictureName(3));
    EXPECT_FALSE(calls[1].lookUpFirst);
    std::lock_guard<std::mutex> lock(reports.mutex);
    EXPECT_EQ(reports.counts.front(), 3u) << "the count at start";
}

TEST(PictureDelivery, OfTwoInstancesOnOneFolderOnlyOneSendsAndItSendsBoth)
{
    TempDir dir;
    const std::string folder = dir.root + "/Orvanta";
    FakeDrive firstDrive;
    FakeDrive secondDrive;
    Reports firstReports;
    Reports secondReports;
    PictureFolder first(SettingsFor(folder), firstDrive.Sender(), firstReports.Events(), TinyTimings());
    PictureFolder second(SettingsFor(folder), secondDrive.Sender(), secondReports.Events(), TinyTimings());
    ASSERT_TRUE(WaitFor([&] { return firstReports.Started() && secondReports.Started(); }));
    first.SetDriveConnected(true);
    second.SetDriveConnected(true);
    first.Keep(Rgb(32, 24), 32, 24, PictureName(1), true);
    second.Keep(Rgb(32, 24), 32, 24, PictureName(2), true);
    ASSERT_TRUE(WaitFor([&] { return Pictures(folder).size() == 2; }));
    std::this_thread::sleep_for(100ms);  // time for a second sender to go wrong
    const std::vector<FakeDrive::Call> firstCalls = firstDrive.Calls();
    const std::vector<FakeDrive::Call> secondCalls = secondDrive.Calls();
    EXPECT_TRUE(firstCalls.empty() || secondCalls.empty());
    std::multiset<std::string> sent;
    for (const auto& call : firstCalls.empty() ? secondCalls : firstCalls)
        sent.insert(call.name);
    EXPECT_EQ(sent, (std::multiset<std::string>{PictureName(1), PictureName(2)}));
    EXPECT_TRUE(Pictures(folder + "/pending").empty());
}

TEST(PictureDelivery, CapRemovesDeliveredThenKeptThenWaitingButNeverTheOneInFlight)
{
    TempDir dir;
    const std::string folder = dir.root + "/Orvanta";
    const std::string pending = folder + "/pending";
    // Same frame, same JPEG: every picture has the size of this one.
    uint64_t size = 0;
    {
        PictureFolder sample(SettingsFor(dir.root + "/sample"), FakeDrive().Sender(), PictureEvents(), TinyTimings());
        sample.Keep(Rgb(32, 24), 32, 24, PictureName(0), false);
        ASSERT_TRUE(WaitFor([&] { return Pictures(dir.root + "/sample").size() == 1; }));
        size = fs::file_size(dir.root + "/sample/" + PictureName(0));
    }
    FakeDrive drive;
    drive.blockOn = PictureName(5);
    Reports reports;
    PictureSettings settings = SettingsFor(folder);
    settings.capBytes = 6 * size + size / 2;
    PictureFolder pictures(settings, drive.Sender(), reports.Events(), TinyTimings());
    pictures.SetDriveConnected(true);
    // Names follow the order they are taken in: 1-2 delivered, 3-4 kept
    // only, 5-7 waiting, 5 in flight.
    const auto keep = [&](int second, bool waits) { pictures.Keep(Rgb(32, 24), 32, 24, PictureName(second), waits); };
    keep(1, true);
    keep(2, true);
    ASSERT_TRUE(WaitFor([&] { return Pictures(folder).size() == 2 && pictures.WaitingCount() == 0; }));
    keep(3, false);
    keep(4, false);
    keep(5, true);
    keep(6, true);
    ASSERT_TRUE(WaitFor([&] { return drive.Calls().size() == 3 && pictures.WaitingCount() == 2; }));
    keep(7, true);  // the seventh picture passes the cap
    ASSERT_TRUE(WaitFor([&] { return !fs::exists(folder + "/" + PictureName(1)); }));
    EXPECT_EQ(Pictures(folder).size() + Pictures(pending).size(), 6u);

    settings.capBytes = 2 * size;
    pictures.Apply(settings);
    ASSERT_TRUE(WaitFor([&] { return reports.StatusesWith("removed 1 pictures not yet in Google Drive") == 1; }));
    EXPECT_TRUE(Pictures(folder).empty());
    EXPECT_EQ(Pictures(pending), (std::set<std::string>{PictureName(5), PictureName(7)}));
    EXPECT_EQ(pictures.WaitingCount(), 2u);
}

TEST(PictureDelivery, DestructionCancelsTheSendInFlightWhichStaysWaiting)
{
    TempDir dir;
    const std::string folder = dir.root + "/Orvanta";
    FakeDrive drive;
    drive.blockOn = PictureName(9);
    TestClock::time_point destroyStarted;
    {
        PictureFolder pictures(SettingsFor(folder), drive.Sender(), PictureEvents(), TinyTimings());
        pictures.SetDriveConnected(true);
        pictures.Keep(Rgb(32, 24), 32, 24, PictureName(9), true);
        ASSERT_TRUE(WaitFor([&] { return drive.Calls().size() == 1; }));
        destroyStarted = TestClock::now();
    }
    EXPECT_LT(TestClock::now() - destroyStarted, TinyTimings().stopWithin);
    EXPECT_EQ(Pictures(folder + "/pending"), std::set<std::string>{PictureName(9)});
    EXPECT_TRUE(Pictures(folder).empty());
}

}  // namespace

TEST(PictureDelivery, AnotherFolderTakesTheWaitingPicturesAlong)
{
    struct Case {
        const char* what;
        const char* base;  // where the new folder's temporary root is made
    };
    const Case cases[] = {{"same file system", "/tmp"}, {"another file system", "/dev/shm"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        TempDir other(c.base);
        struct stat here {}, there {};
        if (stat(dir.root.c_str(), &here) != 0 || stat(other.root.c_str(), &there) != 0
            || (std::string(c.base) != "/tmp" && here.st_dev == there.st_dev))
            continue;  // no second file system here
        const std::string oldFolder = dir.root + "/Orvanta";
        const std::string newFolder = other.root + "/Orvanta";
        FakeDrive drive;
        Reports reports;
        PictureFolder pictures(SettingsFor(oldFolder), drive.Sender(), reports.Events(), TinyTimings());
        pictures.Keep(Rgb(32, 24), 32, 24, PictureName(1), true);
        pictures.Keep(Rgb(32, 24), 32, 24, PictureName(2), false);
        ASSERT_TRUE(WaitFor([&] { return pictures.WaitingCount() == 1 && Pictures(oldFolder).size() == 1; }));
        const auto taken = fs::last_write_time(oldFolder + "/pending/" + PictureName(1));

        pictures.Apply(SettingsFor(newFolder));
        pictures.Keep(Rgb(32, 24), 32, 24, PictureName(3), true);
        ASSERT_TRUE(WaitFor([&] { return Pictures(newFolder + "/pending").size() == 2; }));
        EXPECT_TRUE(Pictures(oldFolder + "/pending").empty());
        EXPECT_EQ(Pictures(oldFolder), std::set<std::string>{PictureName(2)}) << "kept ones stay";
        EXPECT_EQ(fs::last_write_time(newFolder + "/pending/" + PictureName(1)), taken);
        pictures.SetDriveConnected(true);
        ASSERT_TRUE(WaitFor([&] { return drive.Calls().size() == 2 && pictures.WaitingCount() == 0; }));
        EXPECT_EQ(drive.Calls()[0].name, PictureName(1));
        EXPECT_EQ(Pictures(newFolder), (std::set<std::string>{PictureName(1), PictureName(3)}));
        EXPECT_EQ(pictures.Settings().folder, newFolder);
    }
}
