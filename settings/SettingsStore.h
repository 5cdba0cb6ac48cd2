#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

// Where the program keeps its settings: string entries named by paths such as
// "/Stream/RtspUrl", UTF-8 throughout. The program's store is its
// configuration file; tests use a map.
//
// Implementations are safe to call from any thread, and every call is whole:
// no reader sees half of a Write, and a Write reaches the disk (where there is
// one) whole or not at all.
class SettingsStore {
public:
    // An entry's path and its new value; no value deletes the entry.
    using Change = std::pair<std::string, std::optional<std::string>>;

    virtual ~SettingsStore() = default;

    // The entry's value; none when it is absent.
    virtual std::optional<std::string> Read(const std::string& key) const = 0;

    // Applies every change, then makes them last. False when they could not be
    // made to last (a read-only disk): they hold in memory all the same.
    virtual bool Write(const std::vector<Change>& changes) = 0;

    // The names of the groups directly under `group` ("/Cameras" gives "2",
    // "5", ...), in no particular order.
    virtual std::vector<std::string> Groups(const std::string& group) const = 0;
};
