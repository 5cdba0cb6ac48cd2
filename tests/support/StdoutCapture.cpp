#include "StdoutCapture.h"

#include <unistd.h>

StdoutCapture::StdoutCapture() : sink(std::tmpfile())
{
    std::fflush(stdout);
    savedFd = dup(STDOUT_FILENO);
    dup2(fileno(sink.get()), STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() { Take(); }

std::string StdoutCapture::Take()
{
    std::fflush(stdout);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = pread(fileno(sink.get()), buffer, sizeof buffer, text.size())) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    if (savedFd >= 0) {
        dup2(savedFd, STDOUT_FILENO);
        close(savedFd);
        savedFd = -1;
    }
    return text;
}
