#include "SecureStore.h"

#include "GLibHandles.h"

#include <libsecret/secret.h>

namespace {

struct SecretValueUnref {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using SecretValuePtr = std::unique_ptr<SecretValue, SecretValueUnref>;

// Our own schema rather than a stock one, so that lookups never match items
// written by other programs. libsecret also records the schema name on the item.
const SecretSchema kTokenSchema = {
    "com.tesselwick.orvanta.Token",
    SECRET_SCHEMA_NONE,
    {
        {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
    },
    0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Attribute values travel as D-Bus strings, which must be valid UTF-8; anything
// else would trip GLib's checks instead of failing cleanly.
bool IsValidName(const std::string& name) {
    return g_utf8_validate(name.data(), static_cast<gssize>(name.size()), nullptr) &&
           name.find('\0') == std::string::npos;
}

GHashTablePtr ItemAttributes(const std::string& service, const std::string& account) {
    GHashTablePtr attributes(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
    g_hash_table_insert(attributes.get(), g_strdup("service"), g_strdup(service.c_str()));
    g_hash_table_insert(attributes.get(), g_strdup("account"), g_strdup(account.c_str()));
    return attributes;
}

// The Secret Service only: libsecret's password helpers may fall back to a
// file of their own (in sandboxes), and a token must never land anywhere else.
// Null when no Secret Service can be reached on the session bus.
GObjectPtr<SecretService> ConnectToService() {
    GError* rawError = nullptr;
    GObjectPtr<SecretService> service(secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &rawError));
    GErrorPtr error(rawError);
    return service;
}

// The Secret Service on the session bus. libsecret's synchronous calls run
// their own main context, so every operation may be called from any thread;
// each blocks until the service answers (or the user answers an unlock prompt).
class SecretServiceStore final : public SecureStore {
public:
    bool Get(const std::string& service, const std::string& account,
             std::string& secret) override {
        if (!IsValidName(service) || !IsValidName(account)) {
            return false;
        }
        GObjectPtr<SecretService> connection = ConnectToService();
        if (!connection) {
            return false;
        }
        GHashTablePtr attributes = ItemAttributes(service, account);
        GError* rawError = nullptr;
        SecretValuePtr value(secret_service_lookup_sync(connection.get(), &kTokenSchema,
                                                        attributes.get(), nullptr, &rawError));
        GErrorPtr error(rawError);
        if (!value) {
            return false;
        }
        gsize length = 0;
        const gchar* bytes = secret_value_get(value.get(), &length);
        if (bytes == nullptr || length == 0) {
            return false;
        }
        secret.assign(bytes, length);
        return true;
    }

    bool Add(const std::string& service, const std::string& account,
             const std::string& secret) override {
        if (!IsValidName(service) || !IsValidName(account)) {
            return false;
        }
        GObjectPtr<SecretService> connection = ConnectToService();
        if (!connection) {
            return false;
        }
        GHashTablePtr attributes = ItemAttributes(service, account);
        SecretValuePtr value(secret_value_new(secret.data(), static_cast<gssize>(secret.size()),
                                              "application/octet-stream"));
        const std::string label = service + " (" + account + ")";
        GError* rawError = nullptr;
        const gboolean stored = secret_service_store_sync(
            connection.get(), &kTokenSchema, attributes.get(), SECRET_COLLECTION_DEFAULT,
            label.c_str(), value.get(), nullptr, &rawError);
        GErrorPtr error(rawError);
        return stored && !error;
    }

    bool Delete(const std::string& service, const std::string& account) override {
        if (!IsValidName(service) || !IsValidName(account)) {
            return false;
        }
        GObjectPtr<SecretService> connection = ConnectToService();
        if (!connection) {
            return false;
        }
        GHashTablePtr attributes = ItemAttributes(service, account);
        GError* rawError = nullptr;
        // False without an error means nothing matched, which is not a failure.
        secret_service_clear_sync(connection.get(), &kTokenSchema, attributes.get(), nullptr,
                                  &rawError);
        GErrorPtr error(rawError);
        return !error;
    }
};

}  // namespace

std::unique_ptr<SecureStore> CreateSystemSecureStore() {
    return std::make_unique<SecretServiceStore>();
}
