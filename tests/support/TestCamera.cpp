#include "TestCamera.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <poll.h>
#include <signal.h>
#include <unistd.h>

TestCamera::~TestCamera() { Stop(); }

bool TestCamera::Start(const TestCameraOptions& options, int readyTimeoutMs)
{
    Stop();
    // The shell reports its process id and becomes the camera, in a process group
    // of its own (setsid), killed when the thread that started it ends (setpriv).
    const std::string command = "echo $$; exec setsid setpriv --pdeathsig KILL /usr/bin/python3 '"
        ORVANTA_TEST_CAMERA_SCRIPT "' --port 0 --width " + std::to_string(options.width) + " --height " + std::to_string(options.height) +
        " --fps " + std::to_string(options.fps) + " --scene '" + options.scene + "'" +
        (options.audioOnly ? " --audio-only" : "");
    output = popen(command.c_str(), "re");
    std::string lines;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(readyTimeoutMs);
    for (char c = 0; output != nullptr && (lines.find("\nREADY ") == std::string::npos || c != '\n');) {
        const auto leftMs = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        pollfd readable = {fileno(output), POLLIN, 0};
        if (leftMs <= 0 || poll(&readable, 1, static_cast<int>(leftMs)) <= 0 || read(readable.fd, &c, 1) != 1)
            break;
        lines += c;
    }
    pid = std::atoi(lines.c_str());  // known once the shell has run, so Stop() can end it
    const std::size_t ready = lines.find("\nREADY ");
    if (ready == std::string::npos || lines.back() != '\n') {
        std::fprintf(stderr, "TestCamera: not ready within %d ms: '%s'\n", readyTimeoutMs, lines.c_str());
        Stop();
        return false;
    }
    url = lines.substr(ready + 7, lines.size() - ready - 8);
    return true;
}

void TestCamera::Stop()
{
    // SIGKILL ends even a paused camera at once, so pclose waits only briefly.
    if (pid > 0)
        kill(-pid, SIGKILL);
    if (output != nullptr)
        pclose(output);
    output = nullptr;
    pid = -1;
    url.clear();
}

void TestCamera::Pause() { if (pid > 0) kill(-pid, SIGSTOP); }

void TestCamera::Resume() { if (pid > 0) kill(-pid, SIGCONT); }
