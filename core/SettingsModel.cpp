#include "SettingsModel.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <set>

namespace {

const char kStreamGroup[] = "/Stream";
const char kCamerasGroup[] = "/Cameras";
const char kPictureFolderKey[] = "/Pictures/Folder";
const char kPictureCapKey[] = "/Pictures/CapMiB";
const char kPictureKeepKey[] = "/Pictures/Keep";
const char kNotifyKey[] = "/Notify/Enabled";
const char kClientIdKey[] = "/Analytics/ClientId";
constexpr uint64_t kBytesPerMiB = 1024 * 1024;
constexpr std::size_t kMaxNameCharacters = 40;

std::string Group(int slot)
{
    return slot == 1 ? kStreamGroup : std::string(kCamerasGroup) + "/" + std::to_string(slot);
}

// "true" or "false"; anything else is the default.
bool ReadFlag(const SettingsStore& store, const std::string& key, bool fallback)
{
    const auto text = store.Read(key);
    if (!text || (*text != "true" && *text != "false"))
        return fallback;
    return *text == "true";
}

const char* Flag(bool on)
{
    return on ? "true" : "false";
}

// The number of characters of a UTF-8 text; npos when it is not UTF-8.
std::size_t Utf8Length(const std::string& text)
{
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++characters) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3
                                 : (lead >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size())
            return std::string::npos;
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) >> 6) != 0x2)
                return std::string::npos;
        }
        i += length;
    }
    return characters;
}

std::string Folded(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

PictureSettings ReadPictureSettings(const SettingsStore& store)
{
    PictureSettings settings;
    settings.folder = PictureSettings::DefaultFolder();
    if (const auto folder = store.Read(kPictureFolderKey); folder && !folder->empty() && (*folder)[0] == '/')
        settings.folder = *folder;
    if (const auto cap = store.Read(kPictureCapKey); cap && !cap->empty()
        && std::all_of(cap->begin(), cap->end(), [](unsigned char c) { return std::isdigit(c); })
        && cap->size() < 20) {
        const uint64_t capMiB = std::stoull(*cap);
        if (capMiB >= 1 && capMiB <= std::numeric_limits<uint64_t>::max() / kBytesPerMiB)
            settings.capBytes = capMiB * kBytesPerMiB;
    }
    settings.keepDelivered = ReadFlag(store, kPictureKeepKey, settings.keepDelivered);
    return settings;
}

// One camera's group, or why it is skipped.
std::string ReadCamera(const SettingsStore& store, int slot, CameraSettings& camera)
{
    const std::string group = Group(slot);
    camera.slot = slot;
    camera.url = store.Read(group + "/RtspUrl").value_or("");
    camera.name = store.Read(group + "/Name").value_or(DefaultCameraName(slot));
    // A garbled name reads as the default; a name that clashes is another matter.
    if (!CameraNameProblem(camera.name, {}).empty())
        camera.name = DefaultCameraName(slot);
    camera.reconnect = ReadFlag(store, group + "/Reconnect", false);
    return camera.url.empty() ? "it has no RTSP URL" : std::string();
}

}  // namespace

std::string DefaultCameraName(int slot)
{
    return "Camera " + std::to_string(slot);
}

std::string CameraNameProblem(const std::string& name, const std::vector<std::string>& others)
{
    const std::size_t characters = Utf8Length(name);
    if (characters == std::string::npos)
        return "The name is not valid text.";
    if (characters == 0 || characters > kMaxNameCharacters)
        return "A camera name has 1 to 40 characters.";
    if (name.find('/') != std::string::npos)
        return "A camera name cannot contain \"/\": it names the camera's picture folder.";
    if (name[0] == '.')
        return "A camera name cannot start with \".\": its picture folder would be hidden.";
    if (std::any_of(name.begin(), name.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; }))
        return "A camera name cannot contain control characters.";
    if (Folded(name) == "pending")
        return "\"pending\" is the picture folder's own folder of pictures waiting for Google Drive.";
    for (const std::string& other : others) {
        if (Folded(other) == Folded(name))
            return "Another camera is already called \"" + other + "\".";
    }
    return {};
}

ProgramSettings LoadSettings(const SettingsStore& store, std::vector<std::string>* skipped)
{
    ProgramSettings settings;
    settings.pictures = ReadPictureSettings(store);
    settings.notificationsEnabled = ReadFlag(store, kNotifyKey, true);
    settings.analyticsClientId = store.Read(kClientIdKey).value_or("");

    std::vector<int> slots{1};
    std::vector<std::string> strangeGroups;
    for (const std::string& group : store.Groups(kCamerasGroup)) {
        const bool number = !group.empty() && group.size() <= 3 && group[0] != '0'
                            && std::all_of(group.begin(), group.end(), [](unsigned char c) { return std::isdigit(c); });
        if (number && std::stoi(group) >= 2)
            slots.push_back(std::stoi(group));
        else
            strangeGroups.push_back(group);
    }
    std::sort(slots.begin() + 1, slots.end());

    const auto skip = [&](const std::string& line) {
        if (skipped != nullptr)
            skipped->push_back(line);
    };
    for (const std::string& group : strangeGroups)
        skip("Camera group \"" + group + "\" skipped: cameras are numbered 2 to 9");
    std::vector<std::string> names;
    for (const int slot : slots) {
        CameraSettings camera;
        std::string problem = ReadCamera(store, slot, camera);
        if (slot == 1 && !problem.empty())
            continue;  // the camera nobody has set up yet
        if (problem.empty() && slot > kMaxCameras)
            problem = "cameras are numbered 2 to 9";
        if (problem.empty())
            problem = CameraNameProblem(camera.name, names);
        if (!problem.empty()) {
            skip("Camera " + std::to_string(slot) + " (\"" + camera.name + "\") skipped: " + problem);
            continue;
        }
        names.push_back(camera.name);
        settings.cameras.push_back(camera);
    }
    if (settings.cameras.empty()) {
        CameraSettings first;
        ReadCamera(store, 1, first);
        settings.cameras.push_back(first);
    }
    return settings;
}

std::vector<SettingsStore::Change> CameraEntries(const CameraSettings& camera)
{
    const std::string group = Group(camera.slot);
    return {{group + "/RtspUrl", camera.url},
            {group + "/Name", camera.name},
            {group + "/Reconnect", std::string(Flag(camera.reconnect))}};
}

std::vector<SettingsStore::Change> CameraRemoval(int slot)
{
    const std::string group = Group(slot);
    return {{group + "/RtspUrl", std::nullopt}, {group + "/Name", std::nullopt}, {group + "/Reconnect", std::nullopt}};
}

std::vector<SettingsStore::Change> PictureEntries(const PictureSettings& pictures)
{
    return {{kPictureFolderKey, pictures.folder},
            {kPictureCapKey, std::to_string(pictures.capBytes / kBytesPerMiB)},
            {kPictureKeepKey, std::string(Flag(pictures.keepDelivered))}};
}

SettingsStore::Change NotificationEntry(bool enabled)
{
    return {kNotifyKey, std::string(Flag(enabled))};
}

SettingsStore::Change AnalyticsClientIdEntry(const std::string& clientId)
{
    return {kClientIdKey, clientId};
}
