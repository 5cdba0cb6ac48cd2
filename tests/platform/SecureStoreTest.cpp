#include "TestDaemons.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;

const char kService[] = "com.tesselwick.orvanta.GoogleDrive";
const char kAccount[] = "refresh_token";

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : bytes) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0f];
    }
    return hex;
}

std::string Add(const std::string& secret, const std::string& account = kAccount) {
    return std::string("add:") + kService + ":" + account + ":" + Hex(secret);
}
std::string Get(const std::string& account = kAccount) {
    return std::string("get:") + kService + ":" + account;
}
std::string Delete(const std::string& account = kAccount) {
    return std::string("delete:") + kService + ":" + account;
}

struct ProbeResult {
    int exitCode = -1;
    std::vector<std::string> lines;
    std::string errorOutput;
};

// Every scenario runs in a fresh process (the probe) with only the given
// session bus, as the program would at start-up, and a throw-away home.
class SecureStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(runtimeDir.c_str(), 0700), 0);
    }

    std::map<std::string, std::string> SessionEnvironment(const std::string& busAddress) const {
        return {
            {"DBUS_SESSION_BUS_ADDRESS", busAddress},
            {"HOME", home},
            {"XDG_RUNTIME_DIR", runtimeDir},
            {"XDG_DATA_HOME", home + "/.local/share"},
            {"XDG_CONFIG_HOME", home + "/.config"},
            {"XDG_CACHE_HOME", home + "/.cache"},
        };
    }

    // gnome-keyring-daemon on a private session bus, its login keyring
    // created and unlocked from the password on its standard input.
    void StartKeyring() {
        bus = PrivateBus::Start(dir.Path(), "session");
        ASSERT_TRUE(bus);
        keyring = StartUnlockedKeyring(dir.Path(), SessionEnvironment(bus->Address()), bus->Address());
        ASSERT_TRUE(keyring) << ReadFile(dir.Path() + "/keyring.err");
    }

    // Runs the probe on the given bus, by default the test's own or, without
    // one, an address where no bus listens.
    ProbeResult RunProbe(const std::vector<std::string>& operations, std::string busAddress = "") {
        if (busAddress.empty()) {
            busAddress = bus ? bus->Address() : "unix:path=" + dir.Path() + "/absent.sock";
        }
        SpawnOptions options;
        options.argv = {ExecutableDirectory() + "/platform_probe", "store"};
        options.argv.insert(options.argv.end(), operations.begin(), operations.end());
        options.env = SessionEnvironment(busAddress);
        options.stdoutPath = dir.Path() + "/probe.out";
        options.stderrPath = dir.Path() + "/probe.err";
        ProbeResult result;
        std::unique_ptr<ChildProcess> probe = ChildProcess::Start(options);
        if (!probe) {
            ADD_FAILURE() << "platform_probe did not start";
            return result;
        }
        result.exitCode = probe->WaitForExit(30s);
        std::istringstream out(ReadFile(options.stdoutPath));
        for (std::string line; std::getline(out, line);) {
            result.lines.push_back(line);
        }
        result.errorOutput = ReadFile(options.stderrPath);
        return result;
    }

    TempDir dir;
    const std::string home = dir.Path() + "/home";
    const std::string runtimeDir = dir.Path() + "/run";
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<ChildProcess> keyring;
};

using Lines = std::vector<std::string>;

TEST_F(SecureStoreTest, GivesBackExactlyTheBytesStored) {
    StartKeyring();
    // Non-ASCII, a NUL byte, 0xFF and bytes that are not valid UTF-8.
    const std::string token("1//0g\xc3\xa9t\x00ok\xff\xfe\x80-_.~", 15);
    ProbeResult written = RunProbe({Delete(), Add(token), Get()});
    EXPECT_EQ(written.exitCode, 0);
    EXPECT_EQ(written.lines, (Lines{"delete ok", "add ok", "get " + Hex(token)}));
    EXPECT_EQ(written.errorOutput, "");

    ProbeResult reread = RunProbe({Get()});
    EXPECT_EQ(reread.lines, (Lines{"get " + Hex(token)})) << "kept by the service, not the process";
}

TEST_F(SecureStoreTest, AddReplacesTheItemAndAccountsAreSeparateItems) {
    StartKeyring();
    ProbeResult result = RunProbe({Add("first"), Delete(), Add("second"), Get(),
                                   Add("third"), Get(), Add("other", "other_account"), Get(),
                                   Get("other_account")});
    EXPECT_EQ(result.lines, (Lines{"add ok", "delete ok", "add ok", "get " + Hex("second"),
                                   "add ok", "get " + Hex("third"), "add ok", "get " + Hex("third"),
                                   "get " + Hex("other")}));
}

TEST_F(SecureStoreTest, MissingDeletedAndEmptyItemsReadAsNothing) {
    StartKeyring();
    ProbeResult result = RunProbe({Get(), Delete(), Add("token"), Delete(), Delete(), Get(),
                                   Add(""), Get()});
    EXPECT_EQ(result.lines, (Lines{"get none", "delete ok", "add ok", "delete ok", "delete ok",
                                   "get none", "add ok", "get none"}));
    EXPECT_EQ(result.errorOutput, "");
}

TEST_F(SecureStoreTest, WithoutASecretServiceNothingIsReadOrStored) {
    bus = PrivateBus::Start(dir.Path(), "session");
    ASSERT_TRUE(bus);
    ProbeResult emptyBus = RunProbe({Get(), Add("token"), Get()});
    EXPECT_EQ(emptyBus.lines, (Lines{"get none", "add fail", "get none"}));
    EXPECT_EQ(emptyBus.errorOutput, "");

    ProbeResult noBus = RunProbe({Get(), Add("token")}, "unix:path=" + dir.Path() + "/absent.sock");
    EXPECT_EQ(noBus.lines, (Lines{"get none", "add fail"}));
    EXPECT_EQ(noBus.errorOutput, "");
}

}  // namespace
