#include "FaultFixture.h"

#include "FakeProvider.h"

#include <signal.h>
#include <sys/stat.h>
#include <wx/fileconf.h>

#include <cctype>
#include <fstream>
#include <map>
#include <sstream>

namespace {

// The keyring daemon's process, as the bus knows it.
pid_t NameOwnerPid(BusClient& client, const char* name)
{
    VariantPtr reply = client.Call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                   g_variant_new("(s)", name));
    guint32 pid = 0;
    if (reply) {
        g_variant_get(reply.get(), "(u)", &pid);
    }
    return static_cast<pid_t>(pid);
}


}  // namespace

void FaultTest::SetUp()
{
    ASSERT_FALSE(dir.Path().empty());
    ASSERT_NE(getenv("DISPLAY"), nullptr) << "the fault tests need an X server (xvfb-run)";
    home = dir.Path() + "/home";
    runtimeDirectory = dir.Path() + "/run";
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(ConfigDirectory().c_str(), 0700), 0);
    ASSERT_EQ(mkdir(runtimeDirectory.c_str(), 0700), 0);
}

void FaultTest::WriteConfig(const std::vector<std::pair<std::string, std::string>>& entries)
{
    std::map<std::string, std::vector<std::string>> groups;
    for (const auto& [key, value] : entries) {
        const size_t slash = key.rfind('/');
        groups[key.substr(1, slash - 1)].push_back(key.substr(slash + 1) + "=" + value);
    }
    std::ostringstream text;
    for (const auto& [group, lines] : groups) {
        text << "[" << group << "]\n";
        for (const std::string& line : lines) {
            text << line << "\n";
        }
    }
    WriteFile(ConfigPath(), text.str());
    ::chmod(ConfigPath().c_str(), 0600);
}

bool FaultTest::ConfigIsWellFormed() const
{
    std::ifstream in(ConfigPath());
    if (!in) {
        return false;
    }
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) {
            continue;
        }
        const bool group = line.size() > 2 && line.front() == '[' && line.back() == ']'
            && line.find(']') == line.size() - 1;
        const size_t equals = line.find('=');
        const bool entry = equals != std::string::npos && equals > 0 && line.front() != '['
            && !std::isspace(static_cast<unsigned char>(line.front()));
        if (!group && !entry) {
            return false;
        }
    }
    return true;
}

bool FaultTest::ReadConfig(const std::string& key, std::string& value) const
{
    wxFileConfig file(wxEmptyString, wxEmptyString, wxString::FromUTF8(ConfigPath()), wxEmptyString,
                      wxCONFIG_USE_LOCAL_FILE);
    wxString text;
    if (!file.Read(wxString::FromUTF8(key), &text)) {
        return false;
    }
    value = text.utf8_string();
    return true;
}

void FaultTest::StartKeyring()
{
    sessionBus = PrivateBus::Start(dir.Path(), "session");
    ASSERT_TRUE(sessionBus);
    keyring = StartUnlockedKeyring(dir.Path(), LaunchOptions({}).environment, sessionBus->Address());
    ASSERT_TRUE(keyring) << ReadFile(dir.Path() + "/keyring.err");
}

void FaultTest::KillKeyring()
{
    std::unique_ptr<BusClient> client = BusClient::Connect(sessionBus->Address());
    ASSERT_TRUE(client);
    const pid_t pid = NameOwnerPid(*client, "org.freedesktop.secrets");
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    const auto deadline = Clock::now() + 10s;
    while (client->NameHasOwner("org.freedesktop.secrets") && Clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_FALSE(client->NameHasOwner("org.freedesktop.secrets"));
}

void FaultTest::StartLogind()
{
    systemBus = PrivateBus::Start(dir.Path(), "system");
    ASSERT_TRUE(systemBus);
    systemClient = BusClient::Connect(systemBus->Address());
    ASSERT_TRUE(systemClient);
    logind = DBusMock::StartTemplate("logind", "DBUS_SYSTEM_BUS_ADDRESS", systemBus->Address(),
                                     "org.freedesktop.login1", dir.Path());
    ASSERT_TRUE(logind);
}

bool FaultTest::EmitWake()
{
    return systemClient && EmitLogindPrepareForSleep(*systemClient, false);
}

HarnessLaunch FaultTest::LaunchOptions(std::vector<std::string> arguments) const
{
    HarnessLaunch launch;
    launch.arguments = std::move(arguments);
    launch.environment = {
        {"HOME", home},
        {"XDG_CONFIG_HOME", ConfigDirectory()},
        {"XDG_DATA_HOME", home + "/.local/share"},
        {"XDG_CACHE_HOME", home + "/.cache"},
        {"XDG_RUNTIME_DIR", runtimeDirectory},
        // Only the buses of this test; without one, the platform services
        // quietly do nothing.
        {"DBUS_SESSION_BUS_ADDRESS",
         sessionBus ? sessionBus->Address() : "unix:path=" + dir.Path() + "/no-session-bus"},
        {"DBUS_SYSTEM_BUS_ADDRESS",
         systemBus ? systemBus->Address() : "unix:path=" + dir.Path() + "/no-system-bus"},
        {"NO_AT_BRIDGE", "1"},
        {"LC_ALL", "C.UTF-8"},
    };
    launch.errorPath = dir.Path() + "/harness-" + std::to_string(runs) + ".err";
    return launch;
}

std::unique_ptr<HarnessProcess> FaultTest::Launch(std::vector<std::string> arguments,
                                                  bool withoutFileOverride)
{
    ++runs;
    HarnessLaunch launch = LaunchOptions(std::move(arguments));
    launch.withoutFileOverride = withoutFileOverride;
    return HarnessProcess::Start(launch);
}

std::unique_ptr<HarnessProcess> FaultTest::LaunchAndWait(std::vector<std::string> arguments,
                                                         bool withoutFileOverride)
{
    std::unique_ptr<HarnessProcess> harness = Launch(std::move(arguments), withoutFileOverride);
    EXPECT_TRUE(harness);
    if (harness && harness->WaitForLine("[Harness] alive ", 30s) == kNoLine) {
        ADD_FAILURE() << "the harness did not come up:\n"
                      << Transcript(*harness) << harness->ErrorOutput();
    }
    return harness;
}

std::vector<std::string> FaultTest::ProviderArguments(const FakeProvider& provider)
{
    return {"--provider=" + provider.BaseUrl(), std::string("--client-id=") + FakeProvider::kClientId,
            std::string("--client-secret=") + FakeProvider::kClientSecret};
}

bool FaultTest::StoreRefreshToken(const std::string& token)
{
    // Its output rather than its exit code tells: the probe is tooling, and a
    // sanitizer build may hold it to account for the system libraries it uses.
    std::unique_ptr<HarnessProcess> probe = Launch({"--store-token=" + token});
    if (probe && probe->WaitForExit(30s)
        && probe->WaitForLine("[Harness] refresh token stored", 0ms) != kNoLine) {
        return true;
    }
    ADD_FAILURE() << "the store probe failed:\n" << (probe ? Transcript(*probe) + probe->ErrorOutput() : "");
    return false;
}

std::string FaultTest::StoredRefreshToken()
{
    std::unique_ptr<HarnessProcess> probe = Launch({"--stored-token"});
    if (!probe || !probe->WaitForExit(30s)) {
        ADD_FAILURE() << "the store probe did not finish";
        return {};
    }
    const std::vector<std::string> found =
        WithPrefix(probe->Lines(), "[Harness] stored refresh token: ");
    return found.empty() ? std::string() : found.front();
}

Clock::duration FaultTest::CloseAndExpectCleanExit(HarnessProcess& harness, bool throughExitMenu)
{
    const Clock::time_point closedAt = Clock::now();
    if (throughExitMenu) {
        harness.Send("exit");
    } else {
        harness.Signal(SIGTERM);
    }
    const bool exited = harness.WaitForExit(kExitBound);
    EXPECT_TRUE(exited) << "still running " << kExitBound.count() << " ms after the close\n"
                        << Transcript(harness);
    if (!exited) {
        return Clock::duration::max();
    }
    EXPECT_EQ(harness.ExitCode(), 0) << "signal " << harness.TermSignal() << "\n"
                                     << Transcript(harness) << harness.ErrorOutput();
    EXPECT_EQ(SanitizerReport(harness.ErrorOutput()), "");
    EXPECT_NE(harness.WaitForLine("[Harness] exiting", 1s), kNoLine);
    return harness.ExitedAt() - closedAt;
}

void FaultTest::ExpectResponsive(const HarnessProcess& harness, Clock::time_point from,
                                 Clock::time_point to)
{
    const Clock::duration gap = LongestHeartbeatGap(harness.Lines(), from, to);
    EXPECT_LT(gap, kMaxHeartbeatGap)
        << "the window stopped answering for "
        << std::chrono::duration_cast<std::chrono::milliseconds>(gap).count() << " ms";
}

std::string FaultTest::Transcript(const HarnessProcess& harness)
{
    std::string text;
    for (const OutputLine& line : harness.Lines()) {
        if (line.text.compare(0, 16, "[Harness] alive ") != 0) {
            text += "  " + line.text + "\n";
        }
    }
    return text;
}

size_t CountLines(const HarnessProcess& harness, const std::string& prefix, size_t from)
{
    const std::vector<OutputLine> lines = harness.Lines();
    size_t count = 0;
    for (size_t i = from; i < lines.size(); ++i) {
        count += lines[i].text.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    }
    return count;
}
