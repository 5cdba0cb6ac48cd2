#pragma once

#include "SettingsStore.h"

#include <mutex>

// The settings store over the toolkit's configuration store (wxConfigBase::Get,
// the file that OpenConfigStore installs). wxFileConfig is not thread-safe;
// every call here holds one lock for the access itself. Reads find nothing and
// writes do nothing once the configuration store is closed.
class WxConfigStore : public SettingsStore {
public:
    std::optional<std::string> Read(const std::string& key) const override;
    bool Write(const std::vector<Change>& changes) override;
    std::vector<std::string> Groups(const std::string& group) const override;

    // The configuration store's lock, for the places that still use
    // wxConfigBase itself (opening and closing it, the window's settings).
    // Held only for the access; the Drive client's token lock, if held, comes first.
    static std::unique_lock<std::mutex> Lock();
};
