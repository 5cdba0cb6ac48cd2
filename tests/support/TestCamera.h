#pragma once

#include <cstdio>
#include <string>
#include <sys/types.h>

// What the test camera (scripts/test_camera.py: an RTSP server on 127.0.0.1
// with a synthetic H.264 scene) serves.
struct TestCameraOptions {
    int width = 320, height = 240;  // even, at least 16
    int fps = 25;
    // "moving": a large white box sweeping across black; "still": colour bars.
    std::string scene = "moving";
    bool audioOnly = false;  // audio and no video at all
};

// One test camera in a child process with a process group of its own, stopped
// by the destructor. Drive it from one thread that outlives it: the camera is
// killed when the thread that started it ends (so is a killed test's camera).
class TestCamera {
public:
    TestCamera() = default;
    ~TestCamera();
    TestCamera(const TestCamera&) = delete;
    TestCamera& operator=(const TestCamera&) = delete;

    // Stops a running camera, starts one and waits up to readyTimeoutMs for
    // it to listen. False, with the reason on stderr, when it did not come up.
    bool Start(const TestCameraOptions& options = TestCameraOptions(), int readyTimeoutMs = 20000);
    const std::string& Url() const { return url; }  // "rtsp://127.0.0.1:PORT/stream", or empty
    // Kills the camera and reaps it; clients see their connection closed.
    void Stop();
    // SIGSTOP / SIGCONT: paused, it keeps its connections but stays silent.
    void Pause();
    void Resume();

private:
    pid_t pid = -1;
    std::FILE* output = nullptr;  // the camera's standard output
    std::string url;
};
