#pragma once

#include "SecureStore.h"

#include <mutex>
#include <string>

// The secure store's one item, in memory; the Drive client's threads share it.
class MemoryStore : public SecureStore {
public:
    bool Get(const std::string&, const std::string&, std::string& secret) override { return !(secret = Item()).empty(); }
    bool Add(const std::string&, const std::string&, const std::string& secret) override { return Set(secret), true; }
    bool Delete(const std::string&, const std::string&) override { return Set(""), true; }
    std::string Item() { std::lock_guard<std::mutex> lock(mutex); return item; }

private:
    void Set(const std::string& secret) { std::lock_guard<std::mutex> lock(mutex); item = secret; }
    std::mutex mutex;
    std::string item;
};
