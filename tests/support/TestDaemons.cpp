#include "TestDaemons.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

constexpr std::chrono::milliseconds kDaemonStartBound{10000};
constexpr std::chrono::milliseconds kStopBound{3000};

// waitpid with a bound; true once the child has been reaped.
bool ReapWithin(pid_t pid, std::chrono::milliseconds bound, int& status) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        const pid_t result = waitpid(pid, &status, WNOHANG);
        if (result == pid || (result < 0 && errno == ECHILD)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& overrides) {
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string key = text.substr(0, text.find('='));
        if (overrides.count(key) == 0) {
            merged.push_back(text);
        }
    }
    for (const auto& [key, value] : overrides) {
        merged.push_back(key + "=" + value);
    }
    return merged;
}

std::vector<char*> PointerArray(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& text : strings) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

TempDir::TempDir() {
    std::string pattern = "/tmp/orvanta-platform-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
        path = pattern;
    }
}

TempDir::~TempDir() {
    if (!path.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
}

std::unique_ptr<ChildProcess> ChildProcess::Start(const SpawnOptions& options) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, options.stdinPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, options.stdoutPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, options.stderrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> argv = options.argv;
    std::vector<std::string> envp = MergedEnvironment(options.env);
    std::vector<char*> argvPointers = PointerArray(argv);
    std::vector<char*> envPointers = PointerArray(envp);
    pid_t pid = -1;
    const int result = posix_spawnp(&pid, argvPointers[0], &actions, nullptr, argvPointers.data(),
                                    envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        return nullptr;
    }
    return std::unique_ptr<ChildProcess>(new ChildProcess(pid));
}

ChildProcess::~ChildProcess() { Stop(); }

void ChildProcess::Stop() {
    if (pid <= 0) {
        return;
    }
    int status = 0;
    kill(pid, SIGTERM);
    if (!ReapWithin(pid, kStopBound, status)) {
        kill(pid, SIGKILL);
        ReapWithin(pid, kStopBound, status);
    }
    pid = -1;
}

int ChildProcess::WaitForExit(std::chrono::milliseconds bound) {
    int status = 0;
    if (pid <= 0) {
        return -1;
    }
    if (!ReapWithin(pid, bound, status)) {
        Stop();
        return -1;
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ChildProcess::IsRunning() {
    int status = 0;
    if (pid > 0 && ReapWithin(pid, std::chrono::milliseconds(0), status)) {
        pid = -1;
    }
    return pid > 0;
}

std::unique_ptr<ChildProcess> StartUnlockedKeyring(const std::string& directory,
                                                   const std::map<std::string, std::string>& env,
                                                   const std::string& busAddress) {
    WriteFile(directory + "/keyring-password", "throw-away");
    SpawnOptions options;
    options.argv = {"gnome-keyring-daemon", "--foreground", "--components=secrets", "--unlock"};
    options.env = env;
    options.stdinPath = directory + "/keyring-password";
    options.stderrPath = directory + "/keyring.err";
    std::unique_ptr<ChildProcess> keyring = ChildProcess::Start(options);
    std::unique_ptr<BusClient> client = BusClient::Connect(busAddress);
    if (!keyring || !client || !client->WaitForName("org.freedesktop.secrets", std::chrono::seconds(10))) {
        return nullptr;
    }
    // The default collection appears a moment after the name.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        VariantPtr reply = client->Call("org.freedesktop.secrets", "/org/freedesktop/secrets",
                                        "org.freedesktop.Secret.Service", "ReadAlias",
                                        g_variant_new("(s)", "default"));
        const gchar* path = "/";
        if (reply) {
            g_variant_get(reply.get(), "(&o)", &path);
        }
        if (std::string(path) != "/") {
            return keyring;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return nullptr;
}

std::unique_ptr<BusClient> BusClient::Connect(const std::string& address) {
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (connection == nullptr) {
        return nullptr;
    }
    g_dbus_connection_set_exit_on_close(connection, FALSE);
    return std::unique_ptr<BusClient>(new BusClient(connection));
}

VariantPtr BusClient::Call(const char* destination, const char* path, const char* interface,
                           const char* method, GVariant* parameters, std::string* errorText) {
    GError* error = nullptr;
    GVariant* reply =
        g_dbus_connection_call_sync(connection.get(), destination, path, interface, method,
                                    parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    if (error != nullptr) {
        if (errorText != nullptr) {
            *errorText = error->message;
        }
        g_error_free(error);
    }
    return VariantPtr(reply);
}

bool BusClient::EmitSignal(const char* path, const char* interface, const char* name,
                           GVariant* parameters) {
    const gboolean sent = g_dbus_connection_emit_signal(connection.get(), nullptr, path, interface,
                                                        name, parameters, nullptr);
    return sent && g_dbus_connection_flush_sync(connection.get(), nullptr, nullptr);
}

bool BusClient::NameHasOwner(const std::string& name) {
    VariantPtr reply = Call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                            "NameHasOwner", g_variant_new("(s)", name.c_str()));
    gboolean owned = FALSE;
    if (reply) {
        g_variant_get(reply.get(), "(b)", &owned);
    }
    return owned;
}

bool BusClient::WaitForName(const std::string& name, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!NameHasOwner(name)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::unique_ptr<PrivateBus> PrivateBus::Start(const std::string& directory, const std::string& name) {
    const std::string socketPath = directory + "/" + name + ".sock";
    const std::string configPath = directory + "/" + name + ".conf";
    WriteFile(configPath,
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig>\n"
              "  <type>session</type>\n"
              "  <listen>unix:path=" + socketPath + "</listen>\n"
              "  <auth>EXTERNAL</auth>\n"
              "  <policy context=\"default\">\n"
              "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
              "    <allow eavesdrop=\"true\"/>\n"
              "    <allow own=\"*\"/>\n"
              "  </policy>\n"
              "</busconfig>\n");
    SpawnOptions options;
    options.argv = {"dbus-daemon", "--config-file=" + configPath, "--nofork", "--nopidfile"};
    options.stderrPath = directory + "/" + name + ".log";
    std::unique_ptr<ChildProcess> daemon = ChildProcess::Start(options);
    if (!daemon) {
        return nullptr;
    }
    const std::string address = "unix:path=" + socketPath;
    const auto deadline = std::chrono::steady_clock::now() + kDaemonStartBound;
    while (!BusClient::Connect(address)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::unique_ptr<PrivateBus>(new PrivateBus(address, std::move(daemon)));
}

namespace {

std::unique_ptr<ChildProcess> StartMockProcess(std::vector<std::string> arguments,
                                               const std::string& busVariable,
                                               const std::string& busAddress,
                                               const std::string& busName,
                                               const std::string& logDirectory) {
    SpawnOptions options;
    options.argv = {"/usr/bin/python3", "-m", "dbusmock"};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.env[busVariable] = busAddress;
    options.stdoutPath = logDirectory + "/" + busName + ".out";
    options.stderrPath = logDirectory + "/" + busName + ".err";
    std::unique_ptr<ChildProcess> process = ChildProcess::Start(options);
    std::unique_ptr<BusClient> client = BusClient::Connect(busAddress);
    if (!process || !client || !client->WaitForName(busName, kDaemonStartBound)) {
        return nullptr;
    }
    return process;
}

}  // namespace

std::unique_ptr<DBusMock> DBusMock::StartTemplate(const std::string& templateName,
                                                  const std::string& busVariable,
                                                  const std::string& busAddress,
                                                  const std::string& busName,
                                                  const std::string& logDirectory) {
    std::unique_ptr<ChildProcess> process = StartMockProcess(
        {"--template", templateName}, busVariable, busAddress, busName, logDirectory);
    return process ? std::unique_ptr<DBusMock>(new DBusMock(std::move(process))) : nullptr;
}

std::unique_ptr<DBusMock> DBusMock::StartObject(const std::string& busAddress,
                                                const std::string& busName,
                                                const std::string& objectPath,
                                                const std::string& interface,
                                                const std::string& logDirectory) {
    std::unique_ptr<ChildProcess> process =
        StartMockProcess({"--session", busName, objectPath, interface}, "DBUS_SESSION_BUS_ADDRESS",
                         busAddress, busName, logDirectory);
    return process ? std::unique_ptr<DBusMock>(new DBusMock(std::move(process))) : nullptr;
}

std::string ExecutableDirectory() {
    std::error_code error;
    const auto target = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : target.parent_path().string();
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

void WriteFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

bool ListLogindInhibitors(BusClient& systemClient, std::vector<Inhibitor>& inhibitors) {
    inhibitors.clear();
    VariantPtr reply = systemClient.Call("org.freedesktop.login1", "/org/freedesktop/login1",
                                         "org.freedesktop.login1.Manager", "ListInhibitors",
                                         nullptr);
    if (!reply) {
        return false;
    }
    GVariantIter* iter = nullptr;
    g_variant_get(reply.get(), "(a(ssssuu))", &iter);
    const gchar *what, *who, *why, *mode;
    guint32 uid, pid;
    while (g_variant_iter_next(iter, "(&s&s&s&suu)", &what, &who, &why, &mode, &uid, &pid)) {
        inhibitors.emplace_back(what, who, why, mode);
    }
    g_variant_iter_free(iter);
    return true;
}

bool EmitLogindPrepareForSleep(BusClient& systemClient, bool goingToSleep) {
    GVariantBuilder arguments;
    g_variant_builder_init(&arguments, G_VARIANT_TYPE("av"));
    g_variant_builder_add(&arguments, "v", g_variant_new_boolean(goingToSleep));
    return systemClient.Call("org.freedesktop.login1", "/org/freedesktop/login1",
                             "org.freedesktop.DBus.Mock", "EmitSignal",
                             g_variant_new("(sssav)", "org.freedesktop.login1.Manager",
                                           "PrepareForSleep", "b", &arguments)) != nullptr;
}
