#pragma once

#include <memory>
#include <string>

// The operating system's store for secrets (the Keychain on macOS, the Secret
// Service on Linux). One item is addressed by a service name and an account
// name. Implementations are safe to call from any thread.
class SecureStore {
public:
    virtual ~SecureStore() = default;

    // Reads the item's bytes. False when the item does not exist, is empty or
    // the store cannot be reached.
    virtual bool Get(const std::string& service, const std::string& account,
                     std::string& secret) = 0;

    // Stores the bytes as a new item. Callers delete any existing item first.
    // False when the item could not be stored.
    virtual bool Add(const std::string& service, const std::string& account,
                     const std::string& secret) = 0;

    // Deletes the item. Deleting a missing item is not an error (true).
    virtual bool Delete(const std::string& service, const std::string& account) = 0;
};

// The platform's real store.
std::unique_ptr<SecureStore> CreateSystemSecureStore();
