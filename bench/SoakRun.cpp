// Soak and load runs of the whole program: the window (the fault harness,
// a process of its own) watches the moving-object test camera and uploads
// motion frames to a loopback provider, while this command samples the
// window's process from /proc: resident memory, threads, open descriptors.
// At the end it prints the samples, the least-squares slope of resident
// memory over the last part of the run, the counts at the start of that part
// and at the end, the uploads, and the frame rate the camera delivered; then
// it closes the window through its Exit menu item and checks a clean exit.
//
// A command run by hand under an X server (xvfb-run), not a test.

#include "HarnessProcess.h"
#include "PeerCommands.h"
#include "ProcessStats.h"
#include "SoakProvider.h"
#include "TestCamera.h"
#include "TestDaemons.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

struct SoakOptions {
    double minutes = 60;
    int width = 1920;
    int height = 1080;
    int fps = 25;
    double sampleSeconds = 10;
    // The slope and the start figures cover at most this much of the end of
    // the run; the time before it is warm-up.
    double slopeMinutes = 45;
    // How long the frame-rate probe reads the camera after the sampling.
    int probeSeconds = 20;
    // Print every Nth sample in the closing table (all are printed live).
    int tableEvery = 6;
};

struct Sample {
    double seconds = 0;
    long rssKiB = -1;
    long threads = -1;
    long fds = -1;
    uint64_t uploads = 0;
    size_t heartbeats = 0;
};

void Usage()
{
    std::fprintf(stderr,
                 "usage: orvanta_soak [--minutes N] [--width W] [--height H] [--fps F]\n"
                 "                    [--sample-seconds S] [--slope-minutes M] [--probe-seconds P]\n"
                 "                    [--table-every K]\n"
                 "Runs under an X server: xvfb-run -a -s \"-screen 0 1280x1024x24\" orvanta_soak ...\n");
}

bool ParseOptions(int argc, char** argv, SoakOptions& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help" || i + 1 >= argc) {
            return false;
        }
        const char* value = argv[++i];
        char* end = nullptr;
        const double number = std::strtod(value, &end);
        if (end == value || *end != '\0' || number < 0) {
            std::fprintf(stderr, "bad value for %s: %s\n", name.c_str(), value);
            return false;
        }
        if (name == "--minutes") {
            options.minutes = number;
        } else if (name == "--width") {
            options.width = static_cast<int>(number);
        } else if (name == "--height") {
            options.height = static_cast<int>(number);
        } else if (name == "--fps") {
            options.fps = static_cast<int>(number);
        } else if (name == "--sample-seconds") {
            options.sampleSeconds = std::max(0.2, number);
        } else if (name == "--slope-minutes") {
            options.slopeMinutes = number;
        } else if (name == "--probe-seconds") {
            options.probeSeconds = static_cast<int>(number);
        } else if (name == "--table-every") {
            options.tableEvery = std::max(1, static_cast<int>(number));
        } else {
            std::fprintf(stderr, "unknown option %s\n", name.c_str());
            return false;
        }
    }
    return options.minutes > 0;
}

// Entries of a /proc directory other than "." and "..", or -1 when it is gone.
long CountEntries(const std::string& path)
{
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), ::closedir);
    if (!dir) {
        return -1;
    }
    long count = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            ++count;
        }
    }
    return count;
}

// The harness is our only child running its executable; HarnessProcess keeps
// its id to itself, so it is found through /proc.
pid_t FindHarnessPid()
{
    std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    if (!proc) {
        return -1;
    }
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(proc.get())) {
        const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
        if (pid <= 0) {
            continue;
        }
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string line;
        std::getline(stat, line);
        const size_t open = line.find('(');
        const size_t close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos) {
            continue;
        }
        const std::string comm = line.substr(open + 1, close - open - 1);
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        long parent = 0;
        rest >> state >> parent;
        // The kernel keeps 15 characters of the name.
        if (parent == self && comm == std::string("orvanta_fault_harness").substr(0, 15)) {
            return pid;
        }
    }
    return -1;
}

struct Slope {
    double mibPerHour = 0;
    // The slope's standard error: what the sampling noise alone would give.
    double standardError = 0;
};

// Least-squares slope of resident memory, MiB per hour.
Slope RssSlope(const std::vector<Sample>& samples)
{
    Slope slope;
    if (samples.size() < 3) {
        return slope;
    }
    const double n = static_cast<double>(samples.size());
    double meanT = 0;
    double meanM = 0;
    for (const Sample& s : samples) {
        meanT += s.seconds / 3600.0;
        meanM += s.rssKiB / 1024.0;
    }
    meanT /= n;
    meanM /= n;
    double covariance = 0;
    double variance = 0;
    for (const Sample& s : samples) {
        const double t = s.seconds / 3600.0 - meanT;
        covariance += t * (s.rssKiB / 1024.0 - meanM);
        variance += t * t;
    }
    if (variance <= 0) {
        return slope;
    }
    slope.mibPerHour = covariance / variance;
    double residuals = 0;
    for (const Sample& s : samples) {
        const double fitted = meanM + slope.mibPerHour * (s.seconds / 3600.0 - meanT);
        residuals += (s.rssKiB / 1024.0 - fitted) * (s.rssKiB / 1024.0 - fitted);
    }
    slope.standardError = std::sqrt(residuals / (n - 2) / variance);
    return slope;
}

size_t CountPrefix(const std::vector<OutputLine>& lines, const std::string& prefix)
{
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const OutputLine& line) {
        return line.text.compare(0, prefix.size(), prefix) == 0;
    }));
}

// Pictures per second the camera delivers, read by FFmpeg's command-line tool
// copying the stream without decoding it (nearly free), over `seconds` of
// wall time after a five-second start. Negative when it could not be read.
double DeliveredFrameRate(const std::string& url, int seconds, const std::string& dir)
{
    const std::string progress = dir + "/probe.progress";
    SpawnOptions spawn;
    spawn.argv = {"ffmpeg", "-nostdin", "-loglevel", "error", "-rtsp_transport", "tcp", "-i", url,
                  "-map", "0:v", "-c", "copy", "-f", "null", "-progress", progress, "-"};
    spawn.stderrPath = dir + "/probe.err";
    std::unique_ptr<ChildProcess> probe = ChildProcess::Start(spawn);
    if (!probe) {
        return -1;
    }
    const auto deadline = Clock::now() + 15s;
    while (LastProgressFrame(progress) <= 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(100ms);
    }
    // A new client first gets a burst of what the camera's pipeline holds.
    std::this_thread::sleep_for(5s);
    const long first = LastProgressFrame(progress);
    const auto from = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long last = LastProgressFrame(progress);
    const double elapsed = std::chrono::duration<double>(Clock::now() - from).count();
    // The progress file is written twice a second, so the count lags by up
    // to half a second at both ends alike.
    return first > 0 && last >= first ? static_cast<double>(last - first) / elapsed : -1;
}

void PrintSample(const Sample& s)
{
    std::printf("%8.0f  %9.1f  %7ld  %4ld  %7llu  %10zu\n", s.seconds, s.rssKiB / 1024.0, s.threads,
                s.fds, static_cast<unsigned long long>(s.uploads), s.heartbeats);
}

void PrintHeader()
{
    std::printf("%8s  %9s  %7s  %4s  %7s  %10s\n", "t [s]", "RSS [MiB]", "threads", "fds", "uploads",
                "heartbeats");
}

}  // namespace

int main(int argc, char** argv)
{
    SoakOptions options;
    if (!ParseOptions(argc, argv, options)) {
        Usage();
        return 2;
    }
    if (std::getenv("DISPLAY") == nullptr) {
        std::fprintf(stderr, "no X server: run under xvfb-run -a\n");
        Usage();
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    TempDir dir;
    const std::string home = dir.Path() + "/home";
    const std::string config = home + "/.config";
    const std::string runtime = dir.Path() + "/run";
    if (::mkdir(home.c_str(), 0700) != 0 || ::mkdir(config.c_str(), 0700) != 0
        || ::mkdir(runtime.c_str(), 0700) != 0) {
        std::fprintf(stderr, "cannot make the work folders under %s\n", dir.Path().c_str());
        return 1;
    }

    // A private session bus with gnome-keyring, unlocked, for the stored
    // refresh token; the window sees no other bus.
    std::unique_ptr<PrivateBus> sessionBus = PrivateBus::Start(dir.Path(), "session");
    if (!sessionBus) {
        std::fprintf(stderr, "cannot start a private session bus\n");
        return 1;
    }
    HarnessLaunch launch;
    launch.environment = {
        {"HOME", home},
        {"XDG_CONFIG_HOME", config},
        {"XDG_DATA_HOME", home + "/.local/share"},
        {"XDG_CACHE_HOME", home + "/.cache"},
        {"XDG_RUNTIME_DIR", runtime},
        {"DBUS_SESSION_BUS_ADDRESS", sessionBus->Address()},
        {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir.Path() + "/no-system-bus"},
        {"NO_AT_BRIDGE", "1"},
        {"LC_ALL", "C.UTF-8"},
    };
    std::unique_ptr<ChildProcess> keyring =
        StartUnlockedKeyring(dir.Path(), launch.environment, sessionBus->Address());
    if (!keyring) {
        std::fprintf(stderr, "the keyring did not come up: %s\n",
                     ReadFile(dir.Path() + "/keyring.err").c_str());
        return 1;
    }

    SoakProvider provider;
    if (!provider.IsListening()) {
        std::fprintf(stderr, "the provider cannot listen on 127.0.0.1\n");
        return 1;
    }
    const std::string refreshToken = provider.AddRefreshToken();

    TestCamera camera;
    TestCameraOptions cameraOptions;
    cameraOptions.width = options.width;
    cameraOptions.height = options.height;
    cameraOptions.fps = options.fps;
    cameraOptions.scene = "moving";
    if (!camera.Start(cameraOptions, 60000)) {
        return 1;
    }

    launch.arguments = {"--store-token=" + refreshToken};
    launch.errorPath = dir.Path() + "/store.err";
    {
        std::unique_ptr<HarnessProcess> store = HarnessProcess::Start(launch);
        if (!store || !store->WaitForExit(30s) || store->ExitCode() != 0) {
            std::fprintf(stderr, "cannot store the refresh token: %s\n",
                         ReadFile(launch.errorPath).c_str());
            return 1;
        }
    }
    // As an earlier authorization leaves it: the access token has run out, so
    // the first upload refreshes it.
    WriteFile(config + "/Orvanta.conf",
              "[Stream]\nRtspUrl=" + camera.Url() + "\n[Analytics]\nClientId=5042.1700000000\n"
                  + "[GoogleDrive]\nAccessToken=ya29.expired\nTokenExpiry="
                  + std::to_string(static_cast<long long>(std::time(nullptr)) - 600) + "\n");
    ::chmod((config + "/Orvanta.conf").c_str(), 0600);

    launch.arguments = {"--provider=" + provider.BaseUrl(),
                        std::string("--client-id=") + SoakProvider::kClientId,
                        std::string("--client-secret=") + SoakProvider::kClientSecret};
    launch.errorPath = dir.Path() + "/harness.err";
    std::unique_ptr<HarnessProcess> harness = HarnessProcess::Start(launch);
    if (!harness || harness->WaitForLine("[Harness] alive ", 30s) == HarnessProcess::kNoLine) {
        std::fprintf(stderr, "the window did not come up: %s\n", ReadFile(launch.errorPath).c_str());
        return 1;
    }
    const pid_t pid = FindHarnessPid();
    if (pid <= 0) {
        std::fprintf(stderr, "cannot find the window's process\n");
        return 1;
    }

    std::printf("soak: %dx%d at %d fps for %.1f min, a sample every %.1f s; window pid %d\n",
                options.width, options.height, options.fps, options.minutes, options.sampleSeconds,
                static_cast<int>(pid));
    PrintHeader();
    std::vector<Sample> samples;
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::milliseconds(static_cast<long long>(options.minutes * 60000));
    bool died = false;
    for (Clock::time_point next = start; next <= end;
         next += std::chrono::milliseconds(static_cast<long long>(options.sampleSeconds * 1000))) {
        std::this_thread::sleep_until(next);
        if (harness->WaitForExit(0ms)) {
            died = true;
            break;
        }
        Sample s;
        s.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        s.rssKiB = ResidentKiB(pid);
        s.threads = CountEntries("/proc/" + std::to_string(pid) + "/task");
        s.fds = CountEntries("/proc/" + std::to_string(pid) + "/fd");
        s.uploads = provider.Snapshot().uploads;
        s.heartbeats = CountPrefix(harness->Lines(), "[Harness] alive ");
        samples.push_back(s);
        PrintSample(s);
    }
    const long peakKiB = PeakResidentKiB(pid);
    const Clock::time_point sampledUntil = Clock::now();
    const double rate = died || options.probeSeconds == 0
        ? -1
        : DeliveredFrameRate(camera.Url(), options.probeSeconds, dir.Path());

    int exitCode = -1;
    bool exited = died;
    if (!died) {
        harness->Send("exit");
        exited = harness->WaitForExit(30s);
    }
    if (exited) {
        exitCode = harness->ExitCode();
    }
    const std::vector<OutputLine> lines = harness->Lines();
    const SoakProvider::Counts counts = provider.Snapshot();

    std::printf("\n== samples (every %d)\n", options.tableEvery);
    PrintHeader();
    for (size_t i = 0; i < samples.size(); ++i) {
        if (i % static_cast<size_t>(options.tableEvery) == 0 || i + 1 == samples.size()) {
            PrintSample(samples[i]);
        }
    }
    if (samples.empty()) {
        std::printf("no samples: the window ended at once\n");
        return 1;
    }

    const double runSeconds = samples.back().seconds;
    const double slopeFrom = std::max(0.0, runSeconds - std::min(options.slopeMinutes * 60, runSeconds * 0.75));
    std::vector<Sample> tail;
    std::copy_if(samples.begin(), samples.end(), std::back_inserter(tail),
                 [&](const Sample& s) { return s.seconds >= slopeFrom; });
    const Sample& first = tail.front();
    const Sample& last = tail.back();
    const auto [minRss, maxRss] = std::minmax_element(
        tail.begin(), tail.end(), [](const Sample& a, const Sample& b) { return a.rssKiB < b.rssKiB; });
    const auto [minThreads, maxThreads] = std::minmax_element(
        tail.begin(), tail.end(), [](const Sample& a, const Sample& b) { return a.threads < b.threads; });
    const auto [minFds, maxFds] = std::minmax_element(
        tail.begin(), tail.end(), [](const Sample& a, const Sample& b) { return a.fds < b.fds; });
    const long sampledPeak = std::max_element(samples.begin(), samples.end(), [](const Sample& a, const Sample& b) {
                                 return a.rssKiB < b.rssKiB;
                             })->rssKiB;
    const Clock::time_point tailFrom = start + std::chrono::milliseconds(static_cast<long long>(slopeFrom * 1000));
    const double gapMs = std::chrono::duration<double, std::milli>(
                             LongestHeartbeatGap(lines, tailFrom, sampledUntil))
                             .count();

    std::printf("\n== figures\n");
    std::printf("run                     %.1f min sampled, warm-up before t = %.0f s (%zu samples after it)\n",
                runSeconds / 60, slopeFrom, tail.size());
    const Slope slope = RssSlope(tail);
    std::printf("RSS slope (after warm-up) %+.3f MiB/hour (standard error %.3f) over the last %.1f min\n",
                slope.mibPerHour, slope.standardError, (runSeconds - slopeFrom) / 60);
    std::printf("RSS start / end          %.1f / %.1f MiB (min %.1f, max %.1f after warm-up)\n",
                first.rssKiB / 1024.0, last.rssKiB / 1024.0, minRss->rssKiB / 1024.0, maxRss->rssKiB / 1024.0);
    std::printf("RSS peak                 %.1f MiB sampled, %.1f MiB VmHWM\n", sampledPeak / 1024.0,
                peakKiB / 1024.0);
    std::printf("threads start / end      %ld / %ld (min %ld, max %ld after warm-up)\n", first.threads,
                last.threads, minThreads->threads, maxThreads->threads);
    std::printf("fds start / end          %ld / %ld (min %ld, max %ld after warm-up)\n", first.fds, last.fds,
                minFds->fds, maxFds->fds);
    std::printf("uploads while sampled    %llu (%.2f per second)\n", static_cast<unsigned long long>(last.uploads),
                last.uploads / std::max(1.0, runSeconds));
    std::printf("uploads received in all  %llu, %.1f MiB of JPEG, %llu refreshes, "
                "%llu folder creations, %llu refused%s%s\n",
                static_cast<unsigned long long>(counts.uploads), counts.uploadedBytes / 1048576.0, static_cast<unsigned long long>(counts.refreshes),
                static_cast<unsigned long long>(counts.folderCreations),
                static_cast<unsigned long long>(counts.refused), counts.refused ? ": last " : "",
                provider.LastRefusal().c_str());
    std::printf("status lines in all      %zu \"Frame uploaded\", %zu upload failures, %zu \"Uploading\"\n",
                CountPrefix(lines, "[Status] Frame uploaded to Google Drive"),
                CountPrefix(lines, "[Status] Google Drive upload failed"),
                CountPrefix(lines, "[Status] Uploading to Google Drive: "));
    const size_t beats = static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const OutputLine& line) {
        return line.at >= start && line.at <= sampledUntil && line.text.compare(0, 16, "[Harness] alive ") == 0;
    }));
    std::printf("heartbeats while sampled %zu (every 250 ms expected: %.0f); longest gap after warm-up %.0f ms\n",
                beats,
                std::chrono::duration<double>(sampledUntil - start).count() * 4, gapMs);
    if (rate >= 0) {
        std::printf("camera delivered         %.1f pictures/s (asked %d)\n", rate, options.fps);
    } else {
        std::printf("camera delivered         unknown (the probe read nothing)\n");
    }
    if (died) {
        std::printf("window                   DIED during the run (code %d, signal %d)\n", harness->ExitCode(),
                    harness->TermSignal());
    } else if (!exited) {
        std::printf("window                   still running 30 s after Exit\n");
    } else {
        std::printf("window                   exit code %d after Exit\n", exitCode);
    }
    const std::string report = SanitizerReport(harness->ErrorOutput());
    if (!report.empty()) {
        std::printf("sanitizer report:\n%s\n", report.c_str());
    }
    const bool clean = exited && !died && exitCode == 0 && report.empty();
    return clean ? 0 : 1;
}
