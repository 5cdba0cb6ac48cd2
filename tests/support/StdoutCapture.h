#pragma once

#include <cstdio>
#include <memory>
#include <string>

// Redirects file descriptor 1 (every thread's output) into a temporary file until
// Take() or its end. Assert after Take(): the test framework writes there too.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    std::string Take();  // restores standard output; returns everything written

private:
    struct FileCloser { void operator()(std::FILE* file) const { std::fclose(file); } };
    std::unique_ptr<std::FILE, FileCloser> sink;
    int savedFd = -1;
};
