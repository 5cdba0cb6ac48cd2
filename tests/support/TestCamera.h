#pragma once

#include <string>
#include <sys/types.h>

// The project's test camera: a real RTSP server on 127.0.0.1
// (scripts/test_camera.py) serving a synthetic H.264 scene.

// What the test camera serves. Sizes must be even and at least 16.
struct TestCameraOptions {
    int width = 320;
    int height = 240;
    int fps = 25;
    // "moving": a large white rectangle sweeping across a black background,
    // plenty for a motion detector; "still": a static colour-bar picture.
    std::string scene = "moving";
    std::string path = "/stream";
    // 0 lets the camera pick a free port.
    int port = 0;
    // An audio stream beside the video.
    bool audio = false;
    // Audio and no video at all.
    bool audioOnly = false;
};

// Runs one test camera as a child process in its own process group. Not
// copyable; the destructor stops the camera. Not thread-safe: drive it from
// one thread. The camera also gets SIGTERM when the thread that started it
// ends (so a test process killed by its runner leaves no camera behind):
// start it from a thread that outlives it, such as the test's own.
class TestCamera {
public:
    TestCamera() = default;
    ~TestCamera();
    TestCamera(const TestCamera&) = delete;
    TestCamera& operator=(const TestCamera&) = delete;

    // Starts the camera and waits up to readyTimeoutMs for it to listen.
    // False (with the reason on stderr) when it did not come up; a camera
    // that is already running is stopped first.
    bool Start(const TestCameraOptions& options = TestCameraOptions(), int readyTimeoutMs = 20000);

    // "rtsp://127.0.0.1:PORT/PATH" once started, empty before.
    const std::string& Url() const { return url; }
    // The camera's process id (also its process group id), or -1.
    pid_t Pid() const { return pid; }

    // SIGTERM, then SIGKILL if it has not gone after a few seconds; reaps the
    // child. Clients see their connection closed. Safe to call twice.
    void Stop();

    // SIGSTOP / SIGCONT: a paused camera keeps its connections open but sends
    // nothing and answers nothing.
    void Pause();
    void Resume();

private:
    pid_t pid = -1;
    int stdoutFd = -1;
    std::string url;
};
