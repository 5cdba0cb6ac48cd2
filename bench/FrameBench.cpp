// Frame-pipeline benchmark: the decoder, the motion detector and the window's
// per-frame work (preview composition included, no window) against the test
// camera, next to FFmpeg's decode floor and Motion on the same stream. A
// command run by hand, not a test; see README.md.

#include "FramePipeline.h"
#include "PeerCommands.h"
#include "ProcessStats.h"

#include "TestCamera.h"
#include "TestDaemons.h"

#include <wx/init.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct FrameSize {
    int width;
    int height;
};

struct Options {
    double seconds = 30.0;
    double warmupSeconds = 5.0;
    double rssEverySeconds = 0.0;
    int fps = 25;
    std::string scene = "moving";
    std::vector<FrameSize> sizes = {{1280, 720}, {1920, 1080}};
    FrameSize preview = {1068, 571};
    bool runPipeline = true;
    bool runFloor = true;
    bool runMotion = true;
};

// One consumer's figures over its measuring window.
struct RunResult {
    bool ran = false;
    std::string failure;
    double windowSeconds = 0.0;
    double cpuSeconds = 0.0;
    long peakRssKiB = -1;
    std::vector<long> rssSamplesKiB;
    // Pictures decoded (floor) or frames handled (pipeline) in the window; -1
    // when the consumer does not tell.
    long frames = -1;
    // Pipeline only.
    double decoderThreadCpuSeconds = -1.0;
    FramePipeline::Window window;
};

struct SizeResult {
    FrameSize size;
    RunResult pipeline;
    RunResult floor;
    RunResult motion;
};

void PrintUsage()
{
    std::printf(
        "usage: frame_pipeline_bench [options]\n"
        "  --seconds S       measuring window per run (default 30; 600 for the memory check)\n"
        "  --warmup S        time between a consumer's first picture and its window (default 5)\n"
        "  --sizes WxH,...   camera sizes (default 1280x720,1920x1080)\n"
        "  --fps N           camera frame rate (default 25)\n"
        "  --scene NAME      moving (motion in every frame, the default) or still\n"
        "  --preview WxH     preview control size (default 1068x571)\n"
        "  --rss-every S     resident-size sample period (default a tenth of the window)\n"
        "  --only LIST       consumers to run, of pipeline,floor,motion (default all)\n");
}

bool ParseSize(const std::string& text, FrameSize& size)
{
    int width = 0;
    int height = 0;
    char end = '\0';
    if (std::sscanf(text.c_str(), "%dx%d%c", &width, &height, &end) != 2 || width < 16 || height < 16) {
        return false;
    }
    size = FrameSize{width, height};
    return true;
}

std::vector<std::string> SplitCommas(const std::string& text)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) {
            return parts;
        }
        start = comma + 1;
    }
}

bool ParsePositive(const char* text, double& value)
{
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value > 0.0;
}

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            return false;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "bench: %s needs a value\n", option.c_str());
            return false;
        }
        const char* value = argv[++i];
        bool valid = true;
        double number = 0.0;
        if (option == "--seconds") {
            valid = ParsePositive(value, options.seconds);
        } else if (option == "--warmup") {
            valid = ParsePositive(value, options.warmupSeconds);
        } else if (option == "--rss-every") {
            valid = ParsePositive(value, options.rssEverySeconds);
        } else if (option == "--fps") {
            valid = ParsePositive(value, number) && number >= 1.0 && number <= 120.0 &&
                    number == static_cast<int>(number);
            options.fps = static_cast<int>(number);
        } else if (option == "--scene") {
            options.scene = value;
            valid = options.scene == "moving" || options.scene == "still";
        } else if (option == "--preview") {
            valid = ParseSize(value, options.preview);
        } else if (option == "--sizes") {
            options.sizes.clear();
            for (const std::string& part : SplitCommas(value)) {
                FrameSize size{};
                valid = valid && ParseSize(part, size) && size.width % 2 == 0 && size.height % 2 == 0;
                options.sizes.push_back(size);
            }
        } else if (option == "--only") {
            options.runPipeline = options.runFloor = options.runMotion = false;
            for (const std::string& part : SplitCommas(value)) {
                options.runPipeline |= part == "pipeline";
                options.runFloor |= part == "floor";
                options.runMotion |= part == "motion";
                valid = valid && (part == "pipeline" || part == "floor" || part == "motion");
            }
        } else {
            std::fprintf(stderr, "bench: unknown option %s\n", option.c_str());
            return false;
        }
        if (!valid) {
            std::fprintf(stderr, "bench: bad value for %s: %s\n", option.c_str(), value);
            return false;
        }
    }
    if (options.rssEverySeconds <= 0.0) {
        options.rssEverySeconds = std::max(1.0, options.seconds / 10.0);
    }
    return true;
}

std::chrono::milliseconds Millis(double seconds)
{
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000.0));
}

// Waits until ready() holds, checking alive() on the way; false on time-out
// or when the consumer died.
bool WaitUntil(const std::function<bool()>& ready, const std::function<bool()>& alive, double timeoutSeconds)
{
    const auto deadline = Clock::now() + Millis(timeoutSeconds);
    while (!ready()) {
        if (!alive() || Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

// One process reading the stream during the window, and how to tell that it
// still does.
struct Consumer {
    pid_t pid;
    std::function<bool()> alive;
    // Pictures so far, or -1 when the consumer does not tell.
    std::function<long()> frames;
    RunResult* result;
    double cpuStart = 0.0;
    long framesStart = -1;
};

// One measuring window over all consumers at once, so that they see the same
// pictures under the same load: CPU time and pictures at both ends, resident
// size sampled on the way. A consumer that dies is marked failed.
void MeasureWindow(std::vector<Consumer>& consumers, const Options& options)
{
    for (Consumer& consumer : consumers) {
        consumer.cpuStart = ProcessCpuSeconds(consumer.pid);
        consumer.framesStart = consumer.frames();
    }
    const auto start = Clock::now();
    const auto end = start + Millis(options.seconds);
    auto nextSample = start;
    while (Clock::now() < end) {
        const bool sampleNow = Clock::now() >= nextSample;
        for (Consumer& consumer : consumers) {
            if (!consumer.result->failure.empty()) {
                continue;
            }
            if (!consumer.alive()) {
                consumer.result->failure = "stopped reading the stream during the window";
            } else if (sampleNow) {
                consumer.result->rssSamplesKiB.push_back(ResidentKiB(consumer.pid));
            }
        }
        if (sampleNow) {
            nextSample += Millis(options.rssEverySeconds);
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(100), end - Clock::now()));
    }
    const double windowSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (Consumer& consumer : consumers) {
        RunResult& result = *consumer.result;
        const double cpuEnd = ProcessCpuSeconds(consumer.pid);
        const long framesEnd = consumer.frames();
        result.windowSeconds = windowSeconds;
        result.rssSamplesKiB.push_back(ResidentKiB(consumer.pid));
        result.peakRssKiB = PeakResidentKiB(consumer.pid);
        if (consumer.cpuStart < 0.0 || cpuEnd < 0.0) {
            result.failure = "its CPU time could not be read";
            continue;
        }
        result.cpuSeconds = cpuEnd - consumer.cpuStart;
        if (consumer.framesStart >= 0 && framesEnd >= 0) {
            result.frames = framesEnd - consumer.framesStart;
        }
    }
}

// Runs every chosen consumer on one camera at once and measures them over the
// same window.
SizeResult RunSize(const std::string& url, FrameSize size, const Options& options, const std::string& workDir)
{
    SizeResult sizeResult;
    sizeResult.size = size;
    std::vector<Consumer> consumers;

    std::unique_ptr<ChildProcess> ffmpeg;
    const std::string progressPath = workDir + "/ffmpeg-progress.txt";
    if (options.runFloor) {
        RunResult& result = sizeResult.floor;
        result.ran = true;
        std::filesystem::remove(progressPath);
        SpawnOptions spawn;
        spawn.argv = DecodeFloorCommand(url, progressPath);
        spawn.stderrPath = workDir + "/ffmpeg.log";
        ffmpeg = ChildProcess::Start(spawn);
        if (!ffmpeg) {
            result.failure = "ffmpeg could not be started";
        } else {
            consumers.push_back(Consumer{ffmpeg->Pid(), [child = ffmpeg.get()] { return child->IsRunning(); },
                                         [progressPath] { return LastProgressFrame(progressPath); }, &result});
        }
    }

    std::unique_ptr<ChildProcess> motion;
    const std::string motionConfig = workDir + "/motion.conf";
    const std::string motionLog = workDir + "/motion.log";
    if (options.runMotion) {
        RunResult& result = sizeResult.motion;
        result.ran = true;
        std::filesystem::remove(motionLog);
        if (!WriteMotionConfig(motionConfig, url, size.width, size.height, options.fps, motionLog, workDir)) {
            result.failure = "cannot write " + motionConfig;
        } else {
            SpawnOptions spawn;
            spawn.argv = MotionCommand(motionConfig);
            spawn.stderrPath = workDir + "/motion-output.log";
            motion = ChildProcess::Start(spawn);
            if (!motion) {
                result.failure = "motion could not be started (apt-get install motion)";
            } else {
                consumers.push_back(Consumer{motion->Pid(), [child = motion.get()] { return child->IsRunning(); },
                                             [] { return -1L; }, &result});
            }
        }
    }

    const pid_t self = getpid();
    const auto timingCapacity = static_cast<std::size_t>(options.seconds * 12.0) + 64;
    FramePipeline pipeline(wxSize(options.preview.width, options.preview.height), timingCapacity);
    // The decoder hands out about ten frames a second; two silent seconds
    // mean the stream has ended.
    long lastHandled = -1;
    Clock::time_point lastHandledChange = Clock::now();
    const auto pipelineAlive = [&] {
        const long handled = pipeline.FramesHandled();
        if (handled != lastHandled) {
            lastHandled = handled;
            lastHandledChange = Clock::now();
        }
        return Clock::now() - lastHandledChange < std::chrono::seconds(2);
    };
    if (options.runPipeline) {
        sizeResult.pipeline.ran = true;
        // The peak covers the pipeline's start-up, but not earlier sizes.
        ResetPeakRss(self);
        pipeline.Start(url);
        consumers.push_back(Consumer{self, pipelineAlive, [&pipeline] { return pipeline.FramesHandled(); },
                                     &sizeResult.pipeline});
    }

    // Each must have its first picture before the warm-up starts.
    const auto alwaysAlive = [] { return true; };
    for (auto consumer = consumers.begin(); consumer != consumers.end();) {
        RunResult& result = *consumer->result;
        bool ready = false;
        if (&result == &sizeResult.floor) {
            ready = WaitUntil([&] { return LastProgressFrame(progressPath) > 0; }, consumer->alive, 30.0);
            result.failure = ready ? "" : "ffmpeg decoded nothing within 30 s (see " + workDir + "/ffmpeg.log)";
        } else if (&result == &sizeResult.motion) {
            ready = WaitUntil([&] { return MotionConnected(motionLog); }, consumer->alive, 30.0);
            if (!ready) {
                result.failure = consumer->alive()
                                     ? "motion did not connect within 30 s (see " + motionLog + ")"
                                     : "motion exited (is Debian's motion installed? see " + workDir +
                                           "/motion-output.log)";
            }
        } else {
            ready = WaitUntil([&] { return pipeline.FramesHandled() > 0; }, alwaysAlive, 30.0);
            result.failure = ready ? "" : "no frame within 30 s: " + pipeline.LastStatus();
        }
        consumer = ready ? consumer + 1 : consumers.erase(consumer);
    }
    if (consumers.empty()) {
        return sizeResult;
    }
    std::this_thread::sleep_for(Millis(options.warmupSeconds));

    const double threadCpuStart = pipeline.DecoderThreadCpuSeconds();
    pipeline.BeginWindow();
    MeasureWindow(consumers, options);
    sizeResult.pipeline.window = pipeline.EndWindow();
    const double threadCpuEnd = pipeline.DecoderThreadCpuSeconds();
    if (threadCpuStart >= 0.0 && threadCpuEnd >= 0.0) {
        sizeResult.pipeline.decoderThreadCpuSeconds = threadCpuEnd - threadCpuStart;
    }
    if (options.runPipeline && !sizeResult.pipeline.failure.empty()) {
        sizeResult.pipeline.failure += " (" + pipeline.LastStatus() + ")";
    }

    pipeline.Stop();
    motion.reset();
    ffmpeg.reset();
    return sizeResult;
}

double CpuPerStreamSecond(const RunResult& run)
{
    return run.windowSeconds > 0.0 ? run.cpuSeconds / run.windowSeconds : 0.0;
}

bool Usable(const RunResult& run)
{
    return run.ran && run.failure.empty();
}

double Percentile(std::vector<double> values, double fraction)
{
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    // Nearest rank.
    const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(values.size()) + 0.999999);
    return values[std::min(values.size(), std::max<std::size_t>(rank, 1)) - 1];
}

// Percentiles of the pipeline's per-frame timings over its window.
struct FrameTimes {
    double p50 = 0.0;
    double p95 = 0.0;
    double detectP50 = 0.0;
    double composeP50 = 0.0;
};

FrameTimes SummariseTimings(const std::vector<FramePipeline::FrameTiming>& timings)
{
    std::vector<double> total;
    std::vector<double> detect;
    std::vector<double> compose;
    for (const FramePipeline::FrameTiming& timing : timings) {
        total.push_back(timing.totalMs);
        detect.push_back(timing.detectMs);
        compose.push_back(timing.composeMs);
    }
    FrameTimes times;
    times.p50 = Percentile(total, 0.50);
    times.p95 = Percentile(total, 0.95);
    times.detectP50 = Percentile(detect, 0.50);
    times.composeP50 = Percentile(compose, 0.50);
    return times;
}

std::string MiB(long kib)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(kib) / 1024.0);
    return kib < 0 ? "-" : text;
}

void PrintRun(const char* name, const RunResult& run)
{
    if (!run.ran) {
        return;
    }
    if (!Usable(run)) {
        std::printf("  %-13s FAILED: %s\n", name, run.failure.c_str());
        return;
    }
    std::printf("  %-13s %8.3f  %11s", name, CpuPerStreamSecond(run), MiB(run.peakRssKiB).c_str());
    if (run.frames >= 0) {
        std::printf("  %6ld (%.1f/s)", run.frames, static_cast<double>(run.frames) / run.windowSeconds);
    }
    std::printf("\n");
}

void PrintRss(const char* name, const RunResult& run)
{
    if (!Usable(run) || run.rssSamplesKiB.empty()) {
        return;
    }
    std::printf("  RSS %-9s", name);
    for (const long sample : run.rssSamplesKiB) {
        std::printf(" %.1f", static_cast<double>(sample) / 1024.0);
    }
    std::printf(" MiB (growth %+.1f MiB)\n",
                static_cast<double>(run.rssSamplesKiB.back() - run.rssSamplesKiB.front()) / 1024.0);
}

void PrintSize(const SizeResult& result, const Options& options)
{
    std::printf("\n%dx%d @ %d fps\n", result.size.width, result.size.height, options.fps);
    std::printf("  %-13s %8s  %11s  %s\n", "consumer", "CPU s/s", "peak RSS", "pictures in window");
    PrintRun("pipeline", result.pipeline);
    PrintRun("decode floor", result.floor);
    PrintRun("motion", result.motion);

    const RunResult& pipeline = result.pipeline;
    if (Usable(pipeline)) {
        const double cpu = CpuPerStreamSecond(pipeline);
        if (Usable(result.floor) && CpuPerStreamSecond(result.floor) > 0.0) {
            std::printf("  ratio pipeline:floor  %.2f\n", cpu / CpuPerStreamSecond(result.floor));
        }
        if (Usable(result.motion) && CpuPerStreamSecond(result.motion) > 0.0) {
            std::printf("  ratio pipeline:motion %.2f\n", cpu / CpuPerStreamSecond(result.motion));
        }
        if (pipeline.decoderThreadCpuSeconds >= 0.0) {
            std::printf("  decoder thread %.3f CPU s/s of the pipeline's %.3f (the rest: OpenCV's worker thread and this tool's main thread)\n",
                        pipeline.decoderThreadCpuSeconds / pipeline.windowSeconds, cpu);
        }
        const FrameTimes times = SummariseTimings(pipeline.window.timings);
        std::printf("  frame handling p50 %.2f ms, p95 %.2f ms (detect p50 %.2f, compose p50 %.2f; "
                    "from callback entry, %zu frames, %ld with motion, %ld status changes)\n",
                    times.p50, times.p95, times.detectP50, times.composeP50, pipeline.window.timings.size(),
                    pipeline.window.motionFrames,
                    pipeline.window.statusChanges);
    }
    PrintRss("pipeline", result.pipeline);
    PrintRss("floor", result.floor);
    PrintRss("motion", result.motion);
}

std::string Figure(const RunResult& run)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", CpuPerStreamSecond(run));
    return Usable(run) ? text : "-";
}

std::string Ratio(const RunResult& run, const RunResult& reference)
{
    if (!Usable(run) || !Usable(reference) || CpuPerStreamSecond(reference) <= 0.0) {
        return "-";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", CpuPerStreamSecond(run) / CpuPerStreamSecond(reference));
    return text;
}

std::string PeakMiB(const RunResult& run)
{
    return Usable(run) ? MiB(run.peakRssKiB) : "-";
}

// One line per size with the figures the comparison is about.
void PrintSummary(const std::vector<SizeResult>& results)
{
    std::printf("\nSummary (CPU seconds per second of stream; latency from the frame callback's entry)\n");
    std::printf("%-10s %9s %7s %7s %10s %11s %10s %10s %10s %15s %8s\n", "size", "pipeline", "floor", "motion",
                "pipe:floor", "pipe:motion", "RSS pipe", "RSS floor", "RSS motion", "p50/p95 ms", "frames");
    for (const SizeResult& result : results) {
        char size[32];
        std::snprintf(size, sizeof size, "%dx%d", result.size.width, result.size.height);
        char latency[48] = "-";
        if (Usable(result.pipeline) && !result.pipeline.window.timings.empty()) {
            const FrameTimes times = SummariseTimings(result.pipeline.window.timings);
            std::snprintf(latency, sizeof latency, "%.1f/%.1f", times.p50, times.p95);
        }
        std::printf("%-10s %9s %7s %7s %10s %11s %10s %10s %10s %15s %8ld\n", size, Figure(result.pipeline).c_str(),
                    Figure(result.floor).c_str(), Figure(result.motion).c_str(),
                    Ratio(result.pipeline, result.floor).c_str(), Ratio(result.pipeline, result.motion).c_str(),
                    PeakMiB(result.pipeline).c_str(), PeakMiB(result.floor).c_str(), PeakMiB(result.motion).c_str(),
                    latency, Usable(result.pipeline) ? result.pipeline.frames : 0L);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        PrintUsage();
        return 2;
    }
    // wxImage needs the library initialised, not an application or display.
    wxInitializer wx;
    if (!wx.IsOk()) {
        std::fprintf(stderr, "bench: wxWidgets could not be initialised\n");
        return 1;
    }

    char workTemplate[] = "/tmp/orvanta-bench-XXXXXX";
    if (mkdtemp(workTemplate) == nullptr) {
        std::fprintf(stderr, "bench: cannot create a work folder: %s\n", std::strerror(errno));
        return 1;
    }
    const std::string workDir = workTemplate;

    std::printf("Frame pipeline benchmark: %.0f s windows after %.0f s warm-up; preview %dx%d; "
                "one test camera per size, all consumers on it at once.\n",
                options.seconds, options.warmupSeconds, options.preview.width, options.preview.height);
    std::fflush(stdout);

    bool allRan = true;
    std::vector<SizeResult> results;
    for (const FrameSize& size : options.sizes) {
        TestCamera camera;
        TestCameraOptions cameraOptions;
        cameraOptions.width = size.width;
        cameraOptions.height = size.height;
        cameraOptions.fps = options.fps;
        cameraOptions.scene = options.scene;
        if (!camera.Start(cameraOptions)) {
            std::fprintf(stderr, "bench: the test camera did not start for %dx%d\n", size.width, size.height);
            allRan = false;
            continue;
        }
        const SizeResult result = RunSize(camera.Url(), size, options, workDir);
        camera.Stop();
        PrintSize(result, options);
        std::fflush(stdout);
        for (const RunResult* run : {&result.pipeline, &result.floor, &result.motion}) {
            allRan = allRan && (!run->ran || Usable(*run));
        }
        results.push_back(result);
    }
    PrintSummary(results);

    if (allRan) {
        std::error_code ignored;
        std::filesystem::remove_all(workDir, ignored);
    } else {
        std::printf("\nLogs kept in %s\n", workDir.c_str());
    }
    return allRan ? 0 : 1;
}
