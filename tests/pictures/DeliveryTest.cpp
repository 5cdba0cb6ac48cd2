// Delivering waiting pictures through the sender, on fake time: outcomes,
// restarts and what the state file carries over, two instances on one folder,
// the size cap, destruction mid-send, cameras, and a change of folder.

#include "PictureTestFixture.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>

namespace {

using Outcome = DeliveryOutcome;

// One picture folder on fake time with its own Drive.
struct Delivery {
    explicit Delivery(PictureSettings settings)
    {
        folder = std::make_unique<PictureFolder>(std::move(settings), drive.Sender(), reports.Events(), QuickStop(),
                                                 clock);
        EXPECT_TRUE(reports.Await([&] { return reports.Started(); }));
    }
    // Keeps pictures that wait for Drive and returns once they do.
    void KeepWaiting(const std::vector<int>& seconds, const std::string& camera = std::string())
    {
        const std::size_t before = reports.Delivering().size();
        for (int second : seconds)
            folder->Keep(Packed(Planes(32, 24), 32, 24), PictureName(second), camera, true);
        ASSERT_TRUE(reports.Await([&] { return reports.Delivering().size() == before + seconds.size(); }));
    }
    bool RunFor(std::chrono::milliseconds span) { return clock->RunFor(span); }

    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    FakeDrive drive{clock};
    Reports reports;
    std::unique_ptr<PictureFolder> folder;
};

void SetTaken(const std::string& path, time_t secondsAgo)
{
    const timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) - secondsAgo, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

TEST(PictureDelivery, EachOutcomeDecidesWhatIsSentNextWhenAndWhatIsKept)
{
    struct Case {
        const char* what;
        std::vector<Outcome> script;
        int pictures;
        bool keepDelivered;
        std::vector<std::pair<int, bool>> calls;  // picture, lookUpFirst
        std::vector<int> gapsMs;                  // between consecutive calls, on fake time
        std::size_t troubleStatuses;
        int reconnectAfterMs;  // > 0: Drive is connected again this long after the first call
    };
    const std::vector<Outcome> nineNotSent(9, Outcome::NotSent);
    const Case cases[] = {
        {"not sent until it goes through, backing off and doubling",
         {Outcome::NotSent, Outcome::NotSent, Outcome::NotSent}, 1, true, {{0, false}, {0, false}, {0, false}, {0, false}}, {2000, 4000, 8000}, 1, 0},
        {"the backoff stops doubling at five minutes", nineNotSent, 1, true,
         std::vector<std::pair<int, bool>>(10, {0, false}),
         {2000, 4000, 8000, 16000, 32000, 64000, 128000, 256000, 300000}, 1, 0},
        {"unknown is looked up before it is sent again", {Outcome::Unknown}, 1, true, {{0, false}, {0, true}},
         {2000}, 1, 0},
        {"refused is set aside and the next goes on", {Outcome::Refused}, 2, true, {{0, false}, {1, false}}, {250},
         1, 0},
        {"not authorized waits for a new connection", {Outcome::NotAuthorized}, 1, true, {{0, false}, {0, false}},
         {600000}, 1, 600000},
        {"a new connection cuts the backoff short", {Outcome::NotSent}, 1, true, {{0, false}, {0, false}}, {1000},
         1, 1000},
        {"Drive full waits", {Outcome::DriveFull, Outcome::DriveFull}, 1, true, {{0, false}, {0, false}, {0, false}},
         {2000, 4000}, 1, 0},
        {"catching up sends at most four a second", {}, 3, true, {{0, false}, {1, false}, {2, false}}, {250, 250}, 0,
         0},
        {"keeping off removes what Drive holds", {}, 2, false, {{0, false}, {1, false}}, {250}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string folder = dir.root + "/Orvanta";
        Delivery delivery(SettingsFor(folder, c.keepDelivered));
        std::vector<int> seconds;
        for (int i = 0; i < c.pictures; ++i)
            seconds.push_back(i);
        delivery.KeepWaiting(seconds);
        delivery.drive.Script(c.script);
        delivery.folder->SetDriveConnected(true);
        if (c.reconnectAfterMs > 0) {
            ASSERT_TRUE(delivery.RunFor(std::chrono::milliseconds(c.reconnectAfterMs)));
            EXPECT_EQ(delivery.drive.Calls().size(), 1u);
            delivery.folder->SetDriveConnected(false);
            delivery.folder->SetDriveConnected(true);
        }
        ASSERT_TRUE(delivery.RunFor(30min));
        const std::vector<FakeDrive::Call> calls = delivery.drive.Calls();
        ASSERT_EQ(calls.size(), c.calls.size());
        for (std::size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(calls[i].name, PictureName(c.calls[i].first)) << "call " << i;
            EXPECT_EQ(calls[i].lookUpFirst, c.calls[i].second) << "call " << i;
            EXPECT_TRUE(calls[i].isJpeg);
            if (i > 0) {
                EXPECT_EQ(calls[i].at - calls[i - 1].at, std::chrono::milliseconds(c.gapsMs[i - 1])) << "call " << i;
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
        EXPECT_EQ(delivery.folder->WaitingCount(), 0u);
        EXPECT_EQ(delivery.reports.StatusesWith("trouble"), c.troubleStatuses);
    }
}

// What a delivering instance knew is there after a restart, whether its last
// run wrote it or an earlier version's state file holds it: Drive's pictures
// go first under the cap, and the picture whose answer was lost is looked up.
// What waited goes oldest first (by the time taken, not the name).
TEST(PictureDelivery, WhatDriveHoldsAndWhatToLookUpSurvivesARestart)
{
    const char* const rows[] = {"this version's last run", "an earlier version's state file"};
    for (const char* row : rows) {
        SCOPED_TRACE(row);
        TempDir dir;
        const std::string folder = dir.root + "/Orvanta";
        if (row == rows[0]) {
            Delivery first(SettingsFor(folder));
            first.KeepWaiting({1});
            first.folder->Keep(Packed(Planes(32, 24), 32, 24), PictureName(2), std::string(), false);
            first.KeepWaiting({3});
            first.drive.Script({Outcome::Delivered, Outcome::Unknown});
            first.folder->SetDriveConnected(true);
            ASSERT_TRUE(first.RunFor(500ms));
            first.KeepWaiting({4, 5, 6});
            ASSERT_EQ(first.drive.Calls().size(), 2u);
        } else {
            fs::create_directories(folder + "/pending");
            for (const std::string& path : {"/" + PictureName(1), "/" + PictureName(2), "/pending/" + PictureName(3),
                                            "/pending/" + PictureName(4), "/pending/" + PictureName(5),
                                            "/pending/" + PictureName(6)})
                std::ofstream(folder + path) << "\xFF\xD8 an earlier version's picture \xFF\xD9";
            std::ofstream(folder + "/.orvanta-pictures.json")
                << "{\"delivered\": [\"" << PictureName(1) << "\"], \"lookUp\": [\"" << PictureName(3) << "\"]}";
        }
        // The oldest waiting one is looked up after any restart: not the one
        // whose mark is under test.
        SetTaken(folder + "/pending/" + PictureName(5), 30);
        SetTaken(folder + "/pending/" + PictureName(3), 20);
        SetTaken(folder + "/pending/" + PictureName(6), 10);
        uint64_t total = 0;
        for (const auto& entry : fs::recursive_directory_iterator(folder))
            total += entry.path().filename().string().rfind("motion_", 0) == 0 ? fs::file_size(entry.path()) : 0;

        PictureSettings settings = SettingsFor(folder);
        settings.capBytes = total - 1;  // one picture too many
        Delivery delivery(settings);
        ASSERT_TRUE(WaitFor([&] { return !fs::exists(folder + "/" + PictureName(1)); }));
        EXPECT_TRUE(fs::exists(folder + "/" + PictureName(2))) << "only kept: it goes after those in Drive";
        EXPECT_EQ(delivery.reports.Counts().front(), 4u) << "the count at start";
        fs::remove(folder + "/pending/" + PictureName(4));  // by hand: simply not sent
        delivery.folder->SetDriveConnected(true);
        ASSERT_TRUE(delivery.RunFor(1min));
        const std::vector<FakeDrive::Call> calls = delivery.drive.Calls();
        ASSERT_EQ(calls.size(), 3u);
        EXPECT_EQ(std::make_pair(calls[0].name, calls[0].lookUpFirst), std::make_pair(PictureName(5), true));
        EXPECT_EQ(std::make_pair(calls[1].name, calls[1].lookUpFirst), std::make_pair(PictureName(3), true));
        EXPECT_EQ(std::make_pair(calls[2].name, calls[2].lookUpFirst), std::make_pair(PictureName(6), false));
        EXPECT_EQ(delivery.reports.StatusesWith(""), 0u) << "no status for the one removed by hand";
        EXPECT_EQ(delivery.folder->WaitingCount(), 0u);
    }
}

TEST(PictureDelivery, OfTwoInstancesOnOneFolderOnlyOneSendsAndItSendsBoth)
{
    TempDir dir;
    const std::string folder = dir.root + "/Orvanta";
    Delivery first(SettingsFor(folder));
    Delivery second(SettingsFor(folder));
    first.folder->SetDriveConnected(true);
    second.folder->SetDriveConnected(true);
    first.KeepWaiting({1});
    second.KeepWaiting({2});
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(first.RunFor(5s));
        ASSERT_TRUE(second.RunFor(5s));
    }
    EXPECT_TRUE(first.drive.Calls().empty() || second.drive.Calls().empty());
    std::multiset<std::string> sent = first.drive.Stored();
    sent.merge(second.drive.Stored());
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
        PictureFolder sample(SettingsFor(dir.root + "/sample"), FakeDrive().Sender(), PictureEvents(), QuickStop());
        sample.Keep(Packed(Planes(32, 24), 32, 24), PictureName(0), std::string(), false);
        ASSERT_TRUE(WaitFor([&] { return Pictures(dir.root + "/sample").size() == 1; }));
        size = fs::file_size(dir.root + "/sample/" + PictureName(0));
    }
    PictureSettings settings = SettingsFor(folder);
    settings.capBytes = 6 * size + size / 2;
    Delivery delivery(settings);
    delivery.drive.Script({}, PictureName(5));
    delivery.folder->SetDriveConnected(true);
    // Names follow the order they are taken in: 1-2 delivered, 3-4 kept
    // only, 5-7 waiting, 5 in flight.
    delivery.KeepWaiting({1, 2});
    ASSERT_TRUE(delivery.RunFor(1s));
    ASSERT_EQ(Pictures(folder).size(), 2u);
    for (int second : {3, 4})
        delivery.folder->Keep(Packed(Planes(32, 24), 32, 24), PictureName(second), std::string(), false);
    delivery.KeepWaiting({5, 6});
    ASSERT_TRUE(delivery.drive.Await([&] { return delivery.drive.Calls().size() == 3; }));
    delivery.KeepWaiting({7});  // the seventh picture passes the cap
    ASSERT_TRUE(WaitFor([&] { return !fs::exists(folder + "/" + PictureName(1)); }));
    EXPECT_EQ(Pictures(folder).size() + Pictures(pending).size(), 6u);

    settings.capBytes = 2 * size;
    delivery.folder->Apply(settings);
    ASSERT_TRUE(delivery.reports.Await(
        [&] { return delivery.reports.StatusesWith("removed 1 pictures not yet in Google Drive") == 1; }));
    EXPECT_TRUE(Pictures(folder).empty());
    EXPECT_EQ(Pictures(pending), (std::set<std::string>{PictureName(5), PictureName(7)}));
    EXPECT_EQ(delivery.folder->WaitingCount(), 2u);
}

TEST(PictureDelivery, DestructionCancelsTheSendInFlightWhichStaysWaiting)
{
    TempDir dir;
    const std::string folder = dir.root + "/Orvanta";
    {
        Delivery delivery(SettingsFor(folder));
        delivery.drive.Script({}, PictureName(9));
        delivery.folder->SetDriveConnected(true);
        delivery.KeepWaiting({9});
        ASSERT_TRUE(delivery.drive.Await([&] { return delivery.drive.Calls().size() == 1; }));
    }
    EXPECT_EQ(Pictures(folder + "/pending"), std::set<std::string>{PictureName(9)});
    EXPECT_TRUE(Pictures(folder).empty());
}

TEST(PictureDelivery, EachCameraKeepsItsOwnFoldersAndAPictureGoesWhereItWasTaken)
{
    TempDir dir;
    const std::string folder = dir.root + "/Orvanta";
    // Waiting since a run that had a camera named "Porch", which is gone.
    fs::create_directories(folder + "/Porch/pending");
    std::ofstream(folder + "/Porch/pending/" + PictureName(9)) << "\xFF\xD8 porch \xFF\xD9";
    SetTaken(folder + "/Porch/pending/" + PictureName(9), 60);

    Delivery delivery(SettingsFor(folder));
    delivery.KeepWaiting({1});
    delivery.KeepWaiting({1, 2}, "Garden");  // names collide per folder only
    delivery.KeepWaiting({3}, "Front door");
    for (const std::string camera : {"../Up", ".hidden", "pending", "a/b"})
        delivery.folder->Keep(Packed(Planes(32, 24), 32, 24), PictureName(4), camera, true);
    ASSERT_TRUE(delivery.reports.Await([&] { return delivery.reports.StatusesWith("cannot name a camera") == 4; }));
    delivery.folder->SetDriveConnected(true);
    ASSERT_TRUE(delivery.RunFor(1min));

    std::vector<std::pair<std::string, std::string>> sent;
    for (const FakeDrive::Call& call : delivery.drive.Calls())
        sent.emplace_back(call.camera, call.name);
    const std::vector<std::pair<std::string, std::string>> expected = {{"Porch", PictureName(9)},
                                                                       {"", PictureName(1)},
                                                                       {"Garden", PictureName(1)},
                                                                       {"Garden", PictureName(2)},
                                                                       {"Front door", PictureName(3)}};
    EXPECT_EQ(sent, expected) << "oldest first across cameras";
    EXPECT_EQ(Pictures(folder), std::set<std::string>{PictureName(1)});
    EXPECT_EQ(Pictures(folder + "/Garden"), (std::set<std::string>{PictureName(1), PictureName(2)}));
    EXPECT_EQ(Pictures(folder + "/Front door"), std::set<std::string>{PictureName(3)});
    EXPECT_EQ(Pictures(folder + "/Porch"), std::set<std::string>{PictureName(9)});
    EXPECT_FALSE(fs::exists(dir.root + "/Up"));
    EXPECT_FALSE(fs::exists(folder + "/.hidden"));
}

TEST(PictureDelivery, AnotherFolderTakesEveryCamerasWaitingPicturesAlong)
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
        Delivery delivery(SettingsFor(oldFolder));
        delivery.KeepWaiting({1});
        delivery.KeepWaiting({2}, "Garden");
        delivery.folder->Keep(Packed(Planes(32, 24), 32, 24), PictureName(3), std::string(), false);
        ASSERT_TRUE(WaitFor([&] { return Pictures(oldFolder).size() == 1; }));
        const auto taken = fs::last_write_time(oldFolder + "/Garden/pending/" + PictureName(2));

        delivery.folder->Apply(SettingsFor(newFolder));
        delivery.KeepWaiting({4}, "Garden");
        ASSERT_TRUE(delivery.RunFor(0ms));
        EXPECT_EQ(Pictures(newFolder + "/pending"), std::set<std::string>{PictureName(1)});
        EXPECT_EQ(Pictures(newFolder + "/Garden/pending"), (std::set<std::string>{PictureName(2), PictureName(4)}));
        EXPECT_TRUE(Pictures(oldFolder + "/pending").empty());
        EXPECT_TRUE(Pictures(oldFolder + "/Garden/pending").empty());
        EXPECT_EQ(Pictures(oldFolder), std::set<std::string>{PictureName(3)}) << "kept ones stay";
        EXPECT_EQ(fs::last_write_time(newFolder + "/Garden/pending/" + PictureName(2)), taken);
        delivery.folder->SetDriveConnected(true);
        ASSERT_TRUE(delivery.RunFor(1min));
        EXPECT_EQ(delivery.drive.Stored(),
                  (std::multiset<std::string>{PictureName(1), PictureName(2), PictureName(4)}));
        EXPECT_EQ(Pictures(newFolder), std::set<std::string>{PictureName(1)});
        EXPECT_EQ(Pictures(newFolder + "/Garden"), (std::set<std::string>{PictureName(2), PictureName(4)}));
        EXPECT_EQ(delivery.folder->Settings().folder, newFolder);
    }
}

TEST(PictureDelivery, APictureToLookUpIsLookedUpInTheNewFolderWhoeverDeliversIt)
{
    for (const bool anotherHoldsIt : {true, false}) {
        SCOPED_TRACE(anotherHoldsIt ? "another instance delivers the new folder" : "it delivers the new folder");
        TempDir dir;
        const std::string newFolder = dir.root + "/New";
        std::unique_ptr<Delivery> other;
        if (anotherHoldsIt)
            other = std::make_unique<Delivery>(SettingsFor(newFolder));
        Delivery delivery(SettingsFor(dir.root + "/Old"));
        delivery.KeepWaiting({1}, "Garden");
        delivery.KeepWaiting({2}, "Garden");
        delivery.drive.Script({Outcome::Unknown});
        delivery.folder->SetDriveConnected(true);
        ASSERT_TRUE(delivery.RunFor(100ms));
        ASSERT_EQ(delivery.drive.Calls().size(), 1u) << "the first one's answer was lost";

        delivery.folder->Apply(SettingsFor(newFolder));
        ASSERT_TRUE(delivery.RunFor(1min));
        Delivery& deliverer = anotherHoldsIt ? *other : delivery;
        if (anotherHoldsIt) {
            other->folder->SetDriveConnected(true);
            ASSERT_TRUE(other->RunFor(1min));
            EXPECT_EQ(delivery.drive.Calls().size(), 1u);
        }
        std::vector<FakeDrive::Call> calls = deliverer.drive.Calls();
        if (!anotherHoldsIt)
            calls.erase(calls.begin());
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(std::make_tuple(calls[0].name, calls[0].camera, calls[0].lookUpFirst),
                  std::make_tuple(PictureName(1), std::string("Garden"), true));
        EXPECT_EQ(std::make_tuple(calls[1].name, calls[1].lookUpFirst), std::make_tuple(PictureName(2), false));
        EXPECT_EQ(Pictures(newFolder + "/Garden"), (std::set<std::string>{PictureName(1), PictureName(2)}));
    }
}

}  // namespace
