#include "LoopbackHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <stdexcept>

namespace {

constexpr std::size_t kMaxRequestBytes = 1 << 20;

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

int BindLoopback(int fd)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("bind failed");
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

bool SendAll(int fd, const std::string& data)
{
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

SocketFd::~SocketFd()
{
    if (fd >= 0)
        close(fd);
}

std::vector<std::string> RecordedRequest::HeaderValues(const std::string& name) const
{
    std::vector<std::string> values;
    for (const auto& header : headers)
        if (Lower(header.first) == Lower(name))
            values.push_back(header.second);
    return values;
}

LoopbackHttpServer::LoopbackHttpServer() : listener(socket(AF_INET, SOCK_STREAM, 0))
{
    if (listener.Get() < 0)
        throw std::runtime_error("socket failed");
    port = BindLoopback(listener.Get());
    if (listen(listener.Get(), 16) != 0)
        throw std::runtime_error("listen failed");
    worker = std::thread([this] { Serve(); });
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        holding = false;
    }
    changed.notify_all();
    worker.join();
}

std::string LoopbackHttpServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

void LoopbackHttpServer::SetStatus(int newStatus)
{
    std::lock_guard<std::mutex> lock(mutex);
    status = newStatus;
}

void LoopbackHttpServer::Hold(std::chrono::milliseconds newMaxHold)
{
    std::lock_guard<std::mutex> lock(mutex);
    holding = true;
    maxHold = newMaxHold;
}

void LoopbackHttpServer::Release()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        holding = false;
    }
    changed.notify_all();
}

bool LoopbackHttpServer::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return requests.size() >= count; });
}

std::vector<RecordedRequest> LoopbackHttpServer::Requests() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return requests;
}

void LoopbackHttpServer::Serve()
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping)
                return;
        }
        pollfd waiting{listener.Get(), POLLIN, 0};
        if (poll(&waiting, 1, 50) <= 0)
            continue;
        SocketFd connection(accept(listener.Get(), nullptr, nullptr));
        if (connection.Get() >= 0)
            HandleConnection(connection.Get());
    }
}

void LoopbackHttpServer::HandleConnection(int fd)
{
    timeval receiveTimeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &receiveTimeout, sizeof receiveTimeout);

    std::string data;
    char buffer[4096];
    std::size_t headerEnd;
    while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0 || data.size() > kMaxRequestBytes)
            return;
        data.append(buffer, static_cast<std::size_t>(n));
    }

    RecordedRequest request;
    const std::string head = data.substr(0, headerEnd);
    std::size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const auto firstSpace = requestLine.find(' ');
    const auto secondSpace = requestLine.find(' ', firstSpace + 1);
    request.method = requestLine.substr(0, firstSpace);
    request.target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    while (lineEnd != std::string::npos) {
        const std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string line = head.substr(start, lineEnd == std::string::npos
                                                        ? std::string::npos
                                                        : lineEnd - start);
        const auto colon = line.find(':');
        if (colon != std::string::npos)
            request.headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
    }

    std::size_t contentLength = 0;
    for (const auto& value : request.HeaderValues("Content-Length"))
        contentLength = std::strtoul(value.c_str(), nullptr, 10);
    if (contentLength > kMaxRequestBytes)
        return;

    request.body = data.substr(headerEnd + 4);
    while (request.body.size() < contentLength) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return;
        request.body.append(buffer, static_cast<std::size_t>(n));
    }

    int answer;
    {
        std::unique_lock<std::mutex> lock(mutex);
        requests.push_back(std::move(request));
        changed.notify_all();
        changed.wait_for(lock, maxHold, [this] { return !holding; });
        answer = status;
    }

    std::string response = "HTTP/1.1 " + std::to_string(answer) + " Scripted\r\n";
    if (answer == 204)
        response += "Connection: close\r\n\r\n";
    else
        response += "Content-Type: application/json\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}";
    SendAll(fd, response);
}

RefusingPort::RefusingPort() : socket(::socket(AF_INET, SOCK_STREAM, 0))
{
    if (socket.Get() < 0)
        throw std::runtime_error("socket failed");
    port = BindLoopback(socket.Get());
}
