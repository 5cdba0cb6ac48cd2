#include "StdoutCapture.h"

#include <unistd.h>

#include <stdexcept>
#include <thread>

StdoutCapture::StdoutCapture() : sink(std::tmpfile())
{
    if (!sink)
        throw std::runtime_error("tmpfile failed");
    std::fflush(stdout);
    savedFd = dup(STDOUT_FILENO);
    dup2(fileno(sink.get()), STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture()
{
    Take();
}

std::string StdoutCapture::Text() const
{
    std::fflush(stdout);
    std::string text;
    char buffer[4096];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = pread(fileno(sink.get()), buffer, sizeof buffer, offset);
        if (n <= 0)
            return text;
        text.append(buffer, static_cast<std::size_t>(n));
        offset += n;
    }
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
