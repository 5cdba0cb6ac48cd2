#pragma once

#include <gio/gio.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

// Helpers that start real daemons for the platform tests: private D-Bus
// daemons, D-Bus mocks and a keyring, each in a throw-away directory, each
// stopped by its owner. Nothing here listens on a network address.

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path; }

private:
    std::string path;
};

struct SpawnOptions {
    std::vector<std::string> argv;
    // Added to (or replacing entries of) this process's environment.
    std::map<std::string, std::string> env;
    std::string stdinPath = "/dev/null";
    std::string stdoutPath = "/dev/null";
    std::string stderrPath = "/dev/null";
};

// This process's environment with `overrides` added or replacing entries.
std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& overrides);
// The strings' data pointers, null-terminated, for exec: valid while `strings` lives.
std::vector<char*> PointerArray(std::vector<std::string>& strings);

// A child process owned by this object: stopped (SIGTERM, then SIGKILL) and
// reaped at destruction unless it has already been waited for.
class ChildProcess {
public:
    static std::unique_ptr<ChildProcess> Start(const SpawnOptions& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits for the child to exit by itself; its exit code, or -1 if it was
    // still running when the bound ran out (it is then stopped) or died of a signal.
    int WaitForExit(std::chrono::milliseconds bound);
    // False once the child has exited (it is then reaped).
    bool IsRunning();
    // -1 once the child has been reaped.
    pid_t Pid() const { return pid; }

private:
    explicit ChildProcess(pid_t pid) : pid(pid) {}
    void Stop();

    pid_t pid;
};

struct GObjectDeleter {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct GVariantDeleter {
    void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
using VariantPtr = std::unique_ptr<GVariant, GVariantDeleter>;

// The test's own client connection to a bus.
class BusClient {
public:
    // Null when the bus at the address cannot be reached.
    static std::unique_ptr<BusClient> Connect(const std::string& address);

    // Null on any error; the error text goes to `errorText` when given.
    VariantPtr Call(const char* destination, const char* path, const char* interface,
                    const char* method, GVariant* parameters, std::string* errorText = nullptr);

    // Emits a signal from this client's own connection.
    bool EmitSignal(const char* path, const char* interface, const char* name, GVariant* parameters);

    bool NameHasOwner(const std::string& name);
    bool WaitForName(const std::string& name, std::chrono::milliseconds bound);

private:
    explicit BusClient(GDBusConnection* connection) : connection(connection) {}

    std::unique_ptr<GDBusConnection, GObjectDeleter> connection;
};

// A dbus-daemon of our own, listening on a socket in `directory`. Its
// configuration has no service directories, so nothing is ever activated.
class PrivateBus {
public:
    static std::unique_ptr<PrivateBus> Start(const std::string& directory, const std::string& name);

    const std::string& Address() const { return address; }

private:
    PrivateBus(std::string address, std::unique_ptr<ChildProcess> daemon)
        : address(std::move(address)), daemon(std::move(daemon)) {}

    std::string address;
    std::unique_ptr<ChildProcess> daemon;
};

// python3-dbusmock serving `busName` on the bus at `busAddress`. With a
// template, the template decides which bus variable it reads; without one the
// mock sits on the session bus with an empty main object.
class DBusMock {
public:
    static std::unique_ptr<DBusMock> StartTemplate(const std::string& templateName,
                                                   const std::string& busVariable,
                                                   const std::string& busAddress,
                                                   const std::string& busName,
                                                   const std::string& logDirectory);
    static std::unique_ptr<DBusMock> StartObject(const std::string& busAddress,
                                                 const std::string& busName,
                                                 const std::string& objectPath,
                                                 const std::string& interface,
                                                 const std::string& logDirectory);

private:
    explicit DBusMock(std::unique_ptr<ChildProcess> process) : process(std::move(process)) {}

    std::unique_ptr<ChildProcess> process;
};

// gnome-keyring's Secret Service on the session bus that `env` names (and
// that `busAddress` reaches), unlocked with a throw-away password written to
// `directory`; returned once its default collection exists, null otherwise
// (the daemon's complaints are then in directory/keyring.err).
std::unique_ptr<ChildProcess> StartUnlockedKeyring(const std::string& directory,
                                                   const std::map<std::string, std::string>& env,
                                                   const std::string& busAddress);

// One lock as logind's ListInhibitors reports it: what, who, why, mode.
using Inhibitor = std::tuple<std::string, std::string, std::string, std::string>;

// Asks the logind (mock) on the client's bus for its locks; false when the
// call fails.
bool ListLogindInhibitors(BusClient& systemClient, std::vector<Inhibitor>& inhibitors);

// Makes python3-dbusmock's logind template emit PrepareForSleep(goingToSleep)
// from logind's own name, as the real service would.
bool EmitLogindPrepareForSleep(BusClient& systemClient, bool goingToSleep);

// The directory holding the test executables (and the helper probe).
std::string ExecutableDirectory();

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);

// Iterates the thread-default GLib main context until `done` holds or the
// bound runs out; returns `done()`.
template <typename Predicate>
bool IterateMainContextUntil(Predicate done, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        if (!g_main_context_iteration(nullptr, FALSE)) {
            g_usleep(5000);
        }
    }
    return done();
}
