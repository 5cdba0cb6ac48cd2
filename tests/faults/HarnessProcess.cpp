#include "HarnessProcess.h"

#include "TestDaemons.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

std::unique_ptr<HarnessProcess> HarnessProcess::Start(const HarnessLaunch& launch)
{
    // A harness that has died must not take the test down with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> argv = {ExecutableDirectory() + "/orvanta_fault_harness"};
    argv.insert(argv.end(), launch.arguments.begin(), launch.arguments.end());
    std::vector<std::string> envp = MergedEnvironment(launch.environment);
    std::vector<char*> argvPointers = PointerArray(argv);
    std::vector<char*> envPointers = PointerArray(envp);

    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0) {
        return nullptr;
    }
    if (::pipe2(output, O_CLOEXEC) != 0) {
        ::close(input[0]);
        ::close(input[1]);
        return nullptr;
    }
    const int errorFd = ::open(launch.errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);

    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        // Only async-signal-safe calls until exec.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        // A test killed by its runner leaves no harness behind.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            _exit(127);
        }
        if (launch.withoutFileOverride && ::geteuid() == 0) {
            // Dropped from the bounding set, these are not regained by exec.
            // A root that cannot drop them would write read-only files.
            if (::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0
                || ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0
                || ::prctl(PR_CAPBSET_DROP, CAP_FOWNER, 0, 0, 0) != 0) {
                static const char message[] = "cannot drop the file-override privileges\n";
                if (errorFd >= 0) {
                    [[maybe_unused]] const ssize_t written = ::write(errorFd, message, sizeof message - 1);
                }
                _exit(126);
            }
        }
        ::dup2(input[0], STDIN_FILENO);
        ::dup2(output[1], STDOUT_FILENO);
        if (errorFd >= 0) {
            ::dup2(errorFd, STDERR_FILENO);
        }
        ::execve(argvPointers[0], argvPointers.data(), envPointers.data());
        _exit(127);
    }
    ::close(input[0]);
    ::close(output[1]);
    if (errorFd >= 0) {
        ::close(errorFd);
    }
    if (child < 0) {
        ::close(input[1]);
        ::close(output[0]);
        return nullptr;
    }

    std::unique_ptr<HarnessProcess> process(new HarnessProcess);
    process->pid = child;
    process->inputFd = input[1];
    process->errorPath = launch.errorPath;
    const int outputFd = output[0];
    process->reader = std::thread([raw = process.get(), outputFd] { raw->ReadOutput(outputFd); });
    return process;
}

HarnessProcess::~HarnessProcess()
{
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopReading = true;
    }
    reader.join();
    if (inputFd >= 0) {
        ::close(inputFd);
    }
}

void HarnessProcess::ReadOutput(int fd)
{
    std::string partial;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopReading) {
                break;
            }
        }
        pollfd readable{fd, POLLIN, 0};
        const int ready = ::poll(&readable, 1, 100);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        const Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex);
        if (count <= 0) {
            if (!partial.empty()) {
                lines.push_back({partial, now});
            }
            break;
        }
        partial.append(buffer, static_cast<size_t>(count));
        for (size_t end; (end = partial.find('\n')) != std::string::npos;) {
            lines.push_back({partial.substr(0, end), now});
            partial.erase(0, end + 1);
        }
        arrived.notify_all();
    }
    ::close(fd);
    std::lock_guard<std::mutex> lock(mutex);
    outputEnded = true;
    arrived.notify_all();
}

void HarnessProcess::Send(const std::string& command)
{
    // Commands are far shorter than PIPE_BUF, so one write carries them whole.
    const std::string line = command + "\n";
    while (::write(inputFd, line.data(), line.size()) < 0 && errno == EINTR) {
    }
}

void HarnessProcess::Signal(int signalNumber)
{
    if (pid > 0) {
        ::kill(pid, signalNumber);
    }
}

size_t HarnessProcess::WaitForLine(const std::function<bool(const std::string&)>& match,
                                   std::chrono::milliseconds bound, size_t from)
{
    const Clock::time_point deadline = Clock::now() + bound;
    std::unique_lock<std::mutex> lock(mutex);
    size_t next = from;
    for (;;) {
        for (; next < lines.size(); ++next) {
            if (match(lines[next].text)) {
                return next;
            }
        }
        if (outputEnded) {
            return kNoLine;
        }
        if (arrived.wait_until(lock, deadline) == std::cv_status::timeout && next == lines.size()) {
            return kNoLine;
        }
    }
}

size_t HarnessProcess::WaitForLine(const std::string& prefix, std::chrono::milliseconds bound,
                                   size_t from)
{
    return WaitForLine(
        [&prefix](const std::string& line) { return line.compare(0, prefix.size(), prefix) == 0; },
        bound, from);
}

std::vector<OutputLine> HarnessProcess::Lines() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
}

size_t HarnessProcess::LineCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return lines.size();
}

bool HarnessProcess::WaitForExit(std::chrono::milliseconds bound)
{
    if (pid <= 0) {
        return true;
    }
    const Clock::time_point deadline = Clock::now() + bound;
    for (;;) {
        int status = 0;
        const pid_t result = ::waitpid(pid, &status, WNOHANG);
        if (result == pid) {
            exitedAt = Clock::now();
            pid = -1;
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            termSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string HarnessProcess::ErrorOutput() const
{
    return ReadFile(errorPath);
}

std::vector<std::string> WithPrefix(const std::vector<OutputLine>& lines, const std::string& prefix)
{
    std::vector<std::string> found;
    for (const OutputLine& line : lines) {
        if (line.text.compare(0, prefix.size(), prefix) == 0) {
            found.push_back(line.text.substr(prefix.size()));
        }
    }
    return found;
}

std::vector<std::string> StatusTexts(const std::vector<OutputLine>& lines)
{
    return WithPrefix(lines, "[Status] ");
}

Clock::duration LongestHeartbeatGap(const std::vector<OutputLine>& lines, Clock::time_point from,
                                    Clock::time_point to)
{
    Clock::time_point previous = from;
    Clock::duration longest{0};
    for (const OutputLine& line : lines) {
        if (line.at < from || line.at > to || line.text.compare(0, 16, "[Harness] alive ") != 0) {
            continue;
        }
        longest = std::max(longest, line.at - previous);
        previous = line.at;
    }
    return std::max(longest, to - previous);
}

std::string SanitizerReport(const std::string& errorOutput)
{
    for (const char* marker : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                               "WARNING: ThreadSanitizer", "runtime error:"}) {
        const size_t at = errorOutput.find(marker);
        if (at != std::string::npos) {
            return errorOutput.substr(at, 2000);
        }
    }
    return {};
}
