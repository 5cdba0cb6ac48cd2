#include "FakeProvider.h"

#include "HttpRequest.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

FakeProvider::FakeProvider()
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        return;
    if ((pid = fork()) == 0) {  // only async-signal-safe calls until exec
        dup2(in[0], STDIN_FILENO), dup2(out[1], STDOUT_FILENO);
        execl("/usr/bin/python3", "python3", ORVANTA_FAKE_PROVIDER_SCRIPT, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]), close(out[1]), stdinFd = in[1];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string line;
    for (char c = 0; pid > 0 && c != '\n'; line += c) {
        pollfd ready{out[0], POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0 || read(out[0], &c, 1) != 1)
            break;
    }
    close(out[0]);
    if (line.rfind("READY ", 0) == 0 && line.back() == '\n')
        base = line.substr(6, line.size() - 7);
}

FakeProvider::~FakeProvider()
{
    close(stdinFd);
    if (pid > 0 && kill(pid, SIGKILL) == 0)  // nothing of its state has to survive it
        waitpid(pid, nullptr, 0);
}

std::string FakeProvider::Url(const std::string& path) const { return base.empty() ? base : base + path; }

std::string FakeProvider::Get(const std::string& pathAndQuery) const { return Post(pathAndQuery, {}, false); }

std::string FakeProvider::Post(const std::string& pathAndQuery, const std::string& body, bool post) const
{
    if (base.empty())
        return {};
    const HttpResponse response = PerformHttpRequest(Url(pathAndQuery), post ? body.data() : nullptr, body.size(), {},
                                                     std::chrono::seconds(10));
    return response.Transferred() ? response.body : std::string();
}
