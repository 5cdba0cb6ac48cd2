#pragma once

#include "SettingsStore.h"

#include <map>
#include <mutex>

// The settings store as a map, for tests; counts its writes.
class MemorySettingsStore : public SettingsStore {
public:
    std::optional<std::string> Read(const std::string& key) const override
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = entries.find(key);
        return found == entries.end() ? std::nullopt : std::optional<std::string>(found->second);
    }
    bool Write(const std::vector<Change>& changes) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& [key, value] : changes) {
            if (value)
                entries[key] = *value;
            else
                entries.erase(key);
        }
        ++writes;
        return !readOnly;
    }
    std::vector<std::string> Groups(const std::string& group) const override
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> names;
        const std::string prefix = group + "/";
        for (const auto& entry : entries) {
            const std::string& key = entry.first;
            if (key.compare(0, prefix.size(), prefix) != 0)
                continue;
            const auto slash = key.find('/', prefix.size());
            if (slash == std::string::npos)
                continue;
            const std::string name = key.substr(prefix.size(), slash - prefix.size());
            if (names.empty() || names.back() != name)
                names.push_back(name);
        }
        return names;
    }
    std::map<std::string, std::string> Entries() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return entries;
    }
    int Writes() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return writes;
    }
    // Writes then report that they could not be made to last.
    void SetReadOnly(bool on)
    {
        std::lock_guard<std::mutex> lock(mutex);
        readOnly = on;
    }

private:
    mutable std::mutex mutex;
    std::map<std::string, std::string> entries;
    int writes = 0;
    bool readOnly = false;
};
