#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The fault harness (the program's window in a process of its own), run and
// watched from a test: its standard output is collected line by line with
// the moment each line arrived, commands go to its standard input, and the
// test can signal it and wait for it to exit.

using Clock = std::chrono::steady_clock;

struct OutputLine {
    std::string text;
    Clock::time_point at;
};

struct HarnessLaunch {
    std::vector<std::string> arguments;              // after the program name
    std::map<std::string, std::string> environment;  // added to or replacing ours
    std::string errorPath;                           // where standard error goes
    // Run without the privileges that let root write files whatever their
    // mode, so that a read-only file is read-only for the harness too.
    bool withoutFileOverride = false;
};

class HarnessProcess {
public:
    static constexpr size_t kNoLine = static_cast<size_t>(-1);

    // Null when the harness could not be started.
    static std::unique_ptr<HarnessProcess> Start(const HarnessLaunch& launch);
    // Kills the harness if it still runs (SIGKILL) and reaps it.
    ~HarnessProcess();

    HarnessProcess(const HarnessProcess&) = delete;
    HarnessProcess& operator=(const HarnessProcess&) = delete;

    // Writes one command line to the harness's standard input.
    void Send(const std::string& command);
    void Signal(int signalNumber);

    // The index of the first line at or after `from` that `match` accepts,
    // waiting up to `bound` for it; kNoLine when none came.
    size_t WaitForLine(const std::function<bool(const std::string&)>& match,
                       std::chrono::milliseconds bound, size_t from = 0);
    size_t WaitForLine(const std::string& prefix, std::chrono::milliseconds bound, size_t from = 0);

    std::vector<OutputLine> Lines() const;
    size_t LineCount() const;

    // Waits up to `bound` for the harness to end by itself; true when it has.
    bool WaitForExit(std::chrono::milliseconds bound);
    // After WaitForExit: the exit code, or -1 when a signal ended it.
    int ExitCode() const { return exitCode; }
    int TermSignal() const { return termSignal; }
    Clock::time_point ExitedAt() const { return exitedAt; }

    std::string ErrorOutput() const;

private:
    HarnessProcess() = default;
    void ReadOutput(int fd);

    pid_t pid = -1;
    int inputFd = -1;
    std::string errorPath;
    int exitCode = -1;
    int termSignal = 0;
    Clock::time_point exitedAt;

    mutable std::mutex mutex;
    std::condition_variable arrived;
    std::vector<OutputLine> lines;
    bool outputEnded = false;
    bool stopReading = false;
    std::thread reader;
};

// Lines whose text starts with `prefix`, without it.
std::vector<std::string> WithPrefix(const std::vector<OutputLine>& lines, const std::string& prefix);
// The "[Status] " lines, without their tag.
std::vector<std::string> StatusTexts(const std::vector<OutputLine>& lines);
// The longest time in [from, to] during which no heartbeat line arrived.
Clock::duration LongestHeartbeatGap(const std::vector<OutputLine>& lines, Clock::time_point from,
                                    Clock::time_point to);
// What a sanitizer reported in `errorOutput`, or empty.
std::string SanitizerReport(const std::string& errorOutput);
