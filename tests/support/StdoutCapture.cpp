#include "StdoutCapture.h"

#include <unistd.h>

#include <thread>

StdoutCapture::StdoutCapture() : sink(std::tmpfile())
{
    std::fflush(stdout);
    savedFd = dup(STDOUT_FILENO);
    dup2(fileno(sink.get()), STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() { Take(); }

std::string StdoutCapture::Text() const
{
    std::fflush(stdout);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = pread(fileno(sink.get()), buffer, sizeof buffer, text.size())) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

void StdoutCapture::WaitFor(const std::string& needle, std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Text().find(needle) == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

std::string StdoutCapture::Take()
{
    const std::string text = Text();
    if (savedFd >= 0) {
        dup2(savedFd, STDOUT_FILENO);
        close(savedFd);
        savedFd = -1;
    }
    return text;
}
