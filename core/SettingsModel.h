#pragma once

#include "PictureFolder.h"
#include "SettingsStore.h"

#include <string>
#include <vector>

constexpr int kMaxCameras = 9;

// One camera as the settings file holds it. Camera 1 lives under "/Stream"
// (today's keys), the others under "/Cameras/N" (N = 2..9, gaps allowed); the
// slot never changes while the camera exists.
struct CameraSettings {
    int slot = 1;
    std::string name;  // unique among the cameras, regardless of case
    std::string url;   // UTF-8; empty only for a camera 1 nobody has set up
    bool reconnect = false;

    bool operator==(const CameraSettings& other) const
    {
        return slot == other.slot && name == other.name && url == other.url && reconnect == other.reconnect;
    }
};

// Every setting of the program. A garbled value reads as its default.
struct ProgramSettings {
    // 1 to 9 cameras in slot order; without any, one camera 1 without a URL.
    std::vector<CameraSettings> cameras;
    PictureSettings pictures;
    bool notificationsEnabled = true;
    std::string analyticsClientId;  // empty until one is made
};

// "Camera N".
std::string DefaultCameraName(int slot);

// Why `name` cannot name a camera (its pictures go into a folder of that
// name), or why it clashes with one of `others` (compared regardless of case);
// empty when it can.
std::string CameraNameProblem(const std::string& name, const std::vector<std::string>& others);

// Reads every setting. Cameras beyond the ninth, with a name already taken,
// without a URL or in a group that is not 2..9 are skipped; `skipped` gets one
// line for each. A name that cannot name a camera reads as the default.
ProgramSettings LoadSettings(const SettingsStore& store, std::vector<std::string>* skipped = nullptr);

// What saving one part writes.
std::vector<SettingsStore::Change> CameraEntries(const CameraSettings& camera);
std::vector<SettingsStore::Change> CameraRemoval(int slot);
std::vector<SettingsStore::Change> PictureEntries(const PictureSettings& pictures);
SettingsStore::Change NotificationEntry(bool enabled);
SettingsStore::Change AnalyticsClientIdEntry(const std::string& clientId);
