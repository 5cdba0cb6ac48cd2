#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Owns one socket descriptor.
class SocketFd {
public:
    explicit SocketFd(int fd = -1) : fd(fd) {}
    ~SocketFd();
    SocketFd(const SocketFd&) = delete;
    SocketFd& operator=(const SocketFd&) = delete;
    int Get() const { return fd; }

private:
    int fd;
};

// One request as the server read it.
struct RecordedRequest {
    std::string method;
    std::string target;  // path and query
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // Values of every header with this name (case-insensitive), in order.
    std::vector<std::string> HeaderValues(const std::string& name) const;
};

// A small HTTP/1.1 server on 127.0.0.1 and a free port, one connection at a
// time, answering every request with a scripted status and closing the
// connection. Records each request before answering it.
class LoopbackHttpServer {
public:
    LoopbackHttpServer();
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    int Port() const { return port; }
    std::string Url(const std::string& path) const;

    void SetStatus(int status);

    // While held, requests are recorded but not answered until Release() or,
    // so that a faulty client cannot hang the suite, until `maxHold` passes.
    void Hold(std::chrono::milliseconds maxHold);
    void Release();

    // Waits until at least `count` requests were recorded.
    bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout);
    std::vector<RecordedRequest> Requests() const;

private:
    void Serve();
    void HandleConnection(int fd);

    SocketFd listener;
    int port = 0;

    mutable std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;
    int status = 200;
    bool holding = false;
    std::chrono::milliseconds maxHold{0};
    std::vector<RecordedRequest> requests;

    std::thread worker;
};

// A TCP port on 127.0.0.1 that is bound but not listening, so connections to
// it are refused for as long as the object lives.
class RefusingPort {
public:
    RefusingPort();
    int Port() const { return port; }

private:
    SocketFd socket;
    int port = 0;
};
