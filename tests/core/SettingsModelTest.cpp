// What a settings file reads as, and what the program writes back.
#include "MemorySettingsStore.h"
#include "SettingsModel.h"

#include <gtest/gtest.h>

namespace {

using Entries = std::map<std::string, std::string>;

std::string Describe(const std::vector<CameraSettings>& cameras)
{
    std::string text;
    for (const CameraSettings& camera : cameras)
        text += std::to_string(camera.slot) + ":" + camera.name + "=" + camera.url + (camera.reconnect ? "+" : "") + " ";
    return text;
}

void Fill(MemorySettingsStore& store, const Entries& entries)
{
    std::vector<SettingsStore::Change> changes;
    for (const auto& [key, value] : entries)
        changes.emplace_back(key, value);
    store.Write(changes);
}

TEST(SettingsModel, FilesReadAsTheirCamerasWithGarbledValuesAsDefaults)
{
    Entries twelve{{"/Stream/RtspUrl", "rtsp://c/1"}};
    for (int n = 2; n <= 13; ++n)
        twelve["/Cameras/" + std::to_string(n) + "/RtspUrl"] = "rtsp://c/" + std::to_string(n);
    struct Case {
        const char* name;
        Entries entries;
        std::string cameras;
        std::size_t skipped;
    };
    const Case cases[] = {
        {"an empty file: one camera, not set up", {}, "1:Camera 1= ", 0},
        {"today's file: one camera, unchanged",
         {{"/Stream/RtspUrl", "rtsp://door"}, {"/Stream/Reconnect", "true"}}, "1:Camera 1=rtsp://door+ ", 0},
        {"cameras with gaps keep their numbers",
         {{"/Stream/RtspUrl", "rtsp://a"}, {"/Cameras/4/RtspUrl", "rtsp://d"}, {"/Cameras/4/Name", "Garden"},
          {"/Cameras/7/RtspUrl", "rtsp://g"}},
         "1:Camera 1=rtsp://a 4:Garden=rtsp://d 7:Camera 7=rtsp://g ", 0},
        {"no camera 1 but others", {{"/Cameras/3/RtspUrl", "rtsp://c"}}, "3:Camera 3=rtsp://c ", 0},
        {"garbled values read as defaults",
         {{"/Stream/RtspUrl", "rtsp://a"}, {"/Stream/Reconnect", "yes"}, {"/Stream/Name", "../up"},
          {"/Cameras/2/RtspUrl", "rtsp://b"}, {"/Cameras/2/Name", ""}},
         "1:Camera 1=rtsp://a 2:Camera 2=rtsp://b ", 0},
        {"a duplicate name, regardless of case, is skipped",
         {{"/Stream/RtspUrl", "rtsp://a"}, {"/Stream/Name", "Garden"}, {"/Cameras/2/RtspUrl", "rtsp://b"},
          {"/Cameras/2/Name", "GARDEN"}, {"/Cameras/3/RtspUrl", "rtsp://c"}},
         "1:Garden=rtsp://a 3:Camera 3=rtsp://c ", 1},
        {"a camera without a URL and groups that are not 2 to 9 are skipped",
         {{"/Stream/RtspUrl", "rtsp://a"}, {"/Cameras/2/Name", "Empty"}, {"/Cameras/x/RtspUrl", "rtsp://x"},
          {"/Cameras/1/RtspUrl", "rtsp://one"}, {"/Cameras/10/RtspUrl", "rtsp://ten"}},
         "1:Camera 1=rtsp://a ", 4},
        {"twelve cameras: the first nine", twelve,
         "1:Camera 1=rtsp://c/1 2:Camera 2=rtsp://c/2 3:Camera 3=rtsp://c/3 4:Camera 4=rtsp://c/4 "
         "5:Camera 5=rtsp://c/5 6:Camera 6=rtsp://c/6 7:Camera 7=rtsp://c/7 8:Camera 8=rtsp://c/8 "
         "9:Camera 9=rtsp://c/9 ",
         4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemorySettingsStore store;
        Fill(store, c.entries);
        std::vector<std::string> skipped;
        const ProgramSettings settings = LoadSettings(store, &skipped);
        EXPECT_EQ(Describe(settings.cameras), c.cameras);
        EXPECT_EQ(skipped.size(), c.skipped) << (skipped.empty() ? "" : skipped.front());
    }
}

TEST(SettingsModel, PictureAndNotificationValuesOutsideTheirRangeReadAsDefaults)
{
    const ProgramSettings defaults = LoadSettings(MemorySettingsStore());
    struct Case {
        Entries entries;
        std::string folder;
        uint64_t capMiB;
        bool keep, notify;
    };
    const Case cases[] = {
        {{{"/Pictures/Folder", "/srv/pictures"}, {"/Pictures/CapMiB", "300"}, {"/Pictures/Keep", "false"},
          {"/Notify/Enabled", "false"}},
         "/srv/pictures", 300, false, false},
        {{{"/Pictures/Folder", "relative/path"}, {"/Pictures/CapMiB", "0"}, {"/Pictures/Keep", "no"},
          {"/Notify/Enabled", "0"}},
         defaults.pictures.folder, 2048, true, true},
        {{{"/Pictures/CapMiB", "12abc"}}, defaults.pictures.folder, 2048, true, true},
        {{{"/Pictures/CapMiB", "99999999999999999999"}}, defaults.pictures.folder, 2048, true, true},
    };
    for (const Case& c : cases) {
        MemorySettingsStore store;
        Fill(store, c.entries);
        const ProgramSettings settings = LoadSettings(store);
        EXPECT_EQ(settings.pictures.folder, c.folder);
        EXPECT_EQ(settings.pictures.capBytes, c.capMiB * 1024 * 1024);
        EXPECT_EQ(settings.pictures.keepDelivered, c.keep);
        EXPECT_EQ(settings.notificationsEnabled, c.notify);
    }
}

TEST(SettingsModel, WhatIsWrittenReadsBackTheSame)
{
    MemorySettingsStore store;
    const std::vector<CameraSettings> cameras{{1, "Front door", "rtsp://a", true}, {3, "Garden", "rtsp://g", false}};
    PictureSettings pictures;
    pictures.folder = "/srv/orvanta";
    pictures.capBytes = uint64_t{512} * 1024 * 1024;
    pictures.keepDelivered = false;
    std::vector<SettingsStore::Change> changes = PictureEntries(pictures);
    for (const CameraSettings& camera : cameras) {
        const auto entries = CameraEntries(camera);
        changes.insert(changes.end(), entries.begin(), entries.end());
    }
    changes.push_back(NotificationEntry(false));
    changes.push_back(AnalyticsClientIdEntry("ace.5"));
    store.Write(changes);

    const ProgramSettings read = LoadSettings(store);
    EXPECT_EQ(Describe(read.cameras), Describe(cameras));
    EXPECT_EQ(read.pictures.folder, pictures.folder);
    EXPECT_EQ(read.pictures.capBytes, pictures.capBytes);
    EXPECT_FALSE(read.pictures.keepDelivered);
    EXPECT_FALSE(read.notificationsEnabled);
    EXPECT_EQ(read.analyticsClientId, "ace.5");
    EXPECT_EQ(store.Read("/Stream/Name"), "Front door") << "camera 1 keeps today's group";

    store.Write(CameraRemoval(3));
    EXPECT_EQ(Describe(LoadSettings(store).cameras), "1:Front door=rtsp://a+ ");
    EXPECT_TRUE(store.Groups("/Cameras").empty());
}

TEST(SettingsModel, CameraNamesMustMakeAFolderOfTheirOwn)
{
    const std::vector<std::string> others{"Garden"};
    const std::pair<std::string, bool> cases[] = {
        {"Front door", true},
        {std::string(40, 'x'), true},
        {"\u00c4u\u00dferes Tor", true},  // characters, not bytes, are counted
        {std::string(41, 'x'), false},
        {"", false},
        {"a/b", false},
        {".hidden", false},
        {"pending", false},
        {"line\nbreak", false},
        {"garden", false},
        {std::string("\xc3\x28", 2), false},
    };
    for (const auto& [name, valid] : cases)
        EXPECT_EQ(CameraNameProblem(name, others).empty(), valid) << name;
}

}  // namespace
