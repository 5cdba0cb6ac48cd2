#include "ChildProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// True once the child has been reaped (or no longer exists).
bool WaitForExit(pid_t pid, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t result = waitpid(pid, &status, WNOHANG);
        if (result == pid || (result < 0 && errno != EINTR)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

ChildProcess::~ChildProcess()
{
    Stop();
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& logPath)
{
    Stop();
    if (argv.empty()) {
        return false;
    }
    std::vector<char*> arguments;
    for (const std::string& argument : argv) {
        arguments.push_back(const_cast<char*>(argument.c_str()));
    }
    arguments.push_back(nullptr);

    const int logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (logFd < 0) {
        std::fprintf(stderr, "bench: cannot open %s: %s\n", logPath.c_str(), std::strerror(errno));
        return false;
    }
    const int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (nullFd < 0) {
        std::fprintf(stderr, "bench: cannot open /dev/null: %s\n", std::strerror(errno));
        close(logFd);
        return false;
    }

    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        std::fprintf(stderr, "bench: fork: %s\n", std::strerror(errno));
        close(logFd);
        close(nullFd);
        return false;
    }
    if (child == 0) {
        // Only async-signal-safe calls between fork and exec.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(127);
        }
        dup2(nullFd, STDIN_FILENO);
        dup2(logFd, STDOUT_FILENO);
        dup2(logFd, STDERR_FILENO);
        execvp(arguments[0], arguments.data());
        _exit(127);
    }
    setpgid(child, child);
    close(logFd);
    close(nullFd);
    pid = child;
    exited = false;
    return true;
}

bool ChildProcess::IsRunning()
{
    if (pid <= 0 || exited) {
        return false;
    }
    int status = 0;
    const pid_t result = waitpid(pid, &status, WNOHANG);
    if (result == pid || (result < 0 && errno == ECHILD)) {
        exited = true;
        return false;
    }
    return true;
}

void ChildProcess::Stop(int graceMs)
{
    if (pid <= 0) {
        return;
    }
    if (!exited) {
        kill(-pid, SIGTERM);
        if (!WaitForExit(pid, std::chrono::milliseconds(graceMs))) {
            kill(-pid, SIGKILL);
            WaitForExit(pid, std::chrono::milliseconds(graceMs));
        }
    }
    pid = -1;
    exited = false;
}
