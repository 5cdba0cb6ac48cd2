#include "FakeProvider.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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
    // The line is one short write to a pipe, so one read after one poll gets it whole.
    char line[128] = {};
    pollfd ready{out[0], POLLIN, 0};
    if (pid > 0 && poll(&ready, 1, 10000) > 0 && read(out[0], line, sizeof line - 1) > 0
        && std::string(line).rfind("READY ", 0) == 0)
        base = std::string(line + 6, std::string(line).find('\n') - 6);
    close(out[0]);
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
    std::string response;
    CURL* curl = base.empty() ? nullptr : curl_easy_init();
    if (!curl)
        return {};
    curl_easy_setopt(curl, CURLOPT_URL, Url(pathAndQuery).c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());  // text bodies only
    curl_easy_setopt(curl, CURLOPT_HTTPGET, post ? 0L : 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
        static_cast<std::string*>(out)->append(data, size * count);
        return size * count;
    });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    const bool ok = curl_easy_perform(curl) == CURLE_OK;
    curl_easy_cleanup(curl);
    return ok ? response : std::string();
}
