#pragma once

#include "HarnessProcess.h"
#include "TestDaemons.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class FakeProvider;

using namespace std::chrono_literals;

constexpr size_t kNoLine = HarnessProcess::kNoLine;

// The longest pause of the heartbeat that still counts as a responsive
// window on a busy two-core machine (the timer ticks every 250 ms).
constexpr Clock::duration kMaxHeartbeatGap = 4s;
// How long a closed window may take to end the process: the Drive client's
// 2-second grace for its threads and "app_close"'s 10-second limit, plus
// room for the toolkit's teardown on a loaded machine.
constexpr std::chrono::milliseconds kExitBound = 20s;

inline const char* const kWoke = "Woke from sleep \u2014 reconnecting...";
inline const char* const kStoreFailed = "[Drive] Failed to save refresh token to secure store";

// Each test gets a throw-away home with its configuration folder, and the
// daemons it asks for on private buses; the harness sees only those.
class FaultTest : public ::testing::Test {
protected:
    void SetUp() override;

    std::string ConfigDirectory() const { return home + "/.config"; }
    std::string ConfigPath() const { return ConfigDirectory() + "/Orvanta.conf"; }

    // Writes the configuration file as the program would have left it:
    // entries are ("/Group/Key", value).
    void WriteConfig(const std::vector<std::pair<std::string, std::string>>& entries);
    // True when every line of the file is a group header, an entry or blank,
    // as a complete file written by the program is.
    bool ConfigIsWellFormed() const;
    // The entry as the next start would read it; false when absent.
    bool ReadConfig(const std::string& key, std::string& value) const;

    // gnome-keyring on a private session bus, with an unlocked default
    // collection.
    void StartKeyring();
    void KillKeyring();
    // python3-dbusmock's logind on a private system bus.
    void StartLogind();
    bool EmitWake();

    HarnessLaunch LaunchOptions(std::vector<std::string> arguments) const;
    // withoutFileOverride: see HarnessLaunch.
    std::unique_ptr<HarnessProcess> Launch(std::vector<std::string> arguments,
                                           bool withoutFileOverride = false);
    // Waits for the harness's window to be up; fails the test otherwise.
    std::unique_ptr<HarnessProcess> LaunchAndWait(std::vector<std::string> arguments,
                                                  bool withoutFileOverride = false);
    static std::vector<std::string> ProviderArguments(const FakeProvider& provider);

    // Through the program's own secure store, in a process of its own.
    bool StoreRefreshToken(const std::string& token);
    // Empty when none is stored.
    std::string StoredRefreshToken();

    // SIGTERM (the window's close box), or the Exit menu item, and the wait
    // for the process to end; checks a clean exit within kExitBound and
    // returns how long it took.
    Clock::duration CloseAndExpectCleanExit(HarnessProcess& harness, bool throughExitMenu = false);
    static void ExpectResponsive(const HarnessProcess& harness, Clock::time_point from,
                                 Clock::time_point to);
    // The harness's output without its heartbeat, for failure messages.
    static std::string Transcript(const HarnessProcess& harness);

    TempDir dir;
    std::string home;
    std::string runtimeDirectory;
    std::unique_ptr<PrivateBus> sessionBus;
    std::unique_ptr<ChildProcess> keyring;
    std::unique_ptr<PrivateBus> systemBus;
    std::unique_ptr<BusClient> systemClient;
    std::unique_ptr<DBusMock> logind;
    int runs = 0;
};

// Lines from index `from` on that start with `prefix`.
size_t CountLines(const HarnessProcess& harness, const std::string& prefix, size_t from = 0);
