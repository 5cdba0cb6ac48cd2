#include "TestCamera.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* kPython = "/usr/bin/python3";
constexpr auto kTermGrace = std::chrono::seconds(5);

std::vector<std::string> CameraArguments(const TestCameraOptions& options)
{
    std::vector<std::string> arguments = {
        kPython,          ORVANTA_TEST_CAMERA_SCRIPT,
        "--port",         std::to_string(options.port),
        "--path",         options.path,
        "--width",        std::to_string(options.width),
        "--height",       std::to_string(options.height),
        "--fps",          std::to_string(options.fps),
        "--scene",        options.scene,
    };
    if (options.audio) {
        arguments.push_back("--audio");
    }
    if (options.audioOnly) {
        arguments.push_back("--audio-only");
    }
    return arguments;
}

// Waits for the child to exit for at most timeout; true once it is reaped.
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
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

TestCamera::~TestCamera()
{
    Stop();
}

bool TestCamera::Start(const TestCameraOptions& options, int readyTimeoutMs)
{
    Stop();

    const std::vector<std::string> arguments = CameraArguments(options);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "TestCamera: pipe: %s\n", std::strerror(errno));
        return false;
    }

    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        std::fprintf(stderr, "TestCamera: fork: %s\n", std::strerror(errno));
        close(pipeFds[0]);
        close(pipeFds[1]);
        return false;
    }
    if (child == 0) {
        // Only async-signal-safe calls between fork and exec. The camera
        // needs SIGTERM and SIGINT delivered, whatever this process blocks.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        setpgid(0, 0);
        // A test process killed by its runner must not leave cameras behind.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(127);
        }
        dup2(pipeFds[1], STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }

    // Also set here, so that the group exists before any signal is sent to it.
    setpgid(child, child);
    close(pipeFds[1]);
    pid = child;
    stdoutFd = pipeFds[0];

    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(readyTimeoutMs);
    while (output.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            std::fprintf(stderr, "TestCamera: not ready after %d ms\n", readyTimeoutMs);
            Stop();
            return false;
        }
        pollfd readable = {stdoutFd, POLLIN, 0};
        const int polled = poll(&readable, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0) {
            continue;
        }
        char chunk[256];
        const ssize_t count = read(stdoutFd, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            std::fprintf(stderr, "TestCamera: camera exited before it was ready\n");
            Stop();
            return false;
        }
        output.append(chunk, static_cast<std::size_t>(count));
    }

    const std::string line = output.substr(0, output.find('\n'));
    const std::string prefix = "READY ";
    if (line.compare(0, prefix.size(), prefix) != 0) {
        std::fprintf(stderr, "TestCamera: unexpected first line: %s\n", line.c_str());
        Stop();
        return false;
    }
    url = line.substr(prefix.size());
    return true;
}

void TestCamera::Stop()
{
    if (pid > 0) {
        kill(-pid, SIGTERM);
        // A paused camera would hold the signal until it runs again.
        kill(-pid, SIGCONT);
        if (!WaitForExit(pid, kTermGrace)) {
            kill(-pid, SIGKILL);
            WaitForExit(pid, kTermGrace);
        }
        pid = -1;
    }
    if (stdoutFd >= 0) {
        close(stdoutFd);
        stdoutFd = -1;
    }
    url.clear();
}

void TestCamera::Pause()
{
    if (pid > 0) {
        kill(-pid, SIGSTOP);
    }
}

void TestCamera::Resume()
{
    if (pid > 0) {
        kill(-pid, SIGCONT);
    }
}
