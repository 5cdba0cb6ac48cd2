#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

// Redirects file descriptor 1 into a temporary file for its lifetime or until
// Take(), catching output of every thread.
//
// Test assertions belong after Take(): the test framework writes its own
// reports to standard output.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Everything written so far.
    std::string Text() const;

    // Waits until `needle` was written or `timeout` passed.
    void WaitFor(const std::string& needle, std::chrono::milliseconds timeout) const;

    // Restores standard output and returns everything written.
    std::string Take();

private:
    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, FileCloser> sink;
    int savedFd = -1;
};
