#include "LoopbackPorts.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in LoopbackAddress(int port)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// Binds a TCP socket to 127.0.0.1 on a port the kernel picks. Returns the
// socket (or -1) and stores the port.
int BindLoopback(int& port)
{
    port = -1;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address = LoopbackAddress(0);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

}  // namespace

int FreeLoopbackPort()
{
    int port = -1;
    const int fd = BindLoopback(port);
    if (fd >= 0) {
        close(fd);
    }
    return port;
}

bool PortRefuses(int port)
{
    RawConnection probe(port);
    return !probe.connected();
}

ClosedLoopbackPort::ClosedLoopbackPort()
{
    fd = BindLoopback(port);
}

ClosedLoopbackPort::~ClosedLoopbackPort()
{
    if (fd >= 0) {
        close(fd);
    }
}

SilentLoopbackServer::SilentLoopbackServer()
{
    fd = BindLoopback(port);
    if (fd >= 0 && listen(fd, 64) != 0) {
        close(fd);
        fd = -1;
        port = -1;
    }
}

SilentLoopbackServer::~SilentLoopbackServer()
{
    if (fd >= 0) {
        close(fd);
    }
}

RawConnection::RawConnection(int port)
{
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = LoopbackAddress(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        Close();
    }
}

RawConnection::~RawConnection()
{
    Close();
}

void RawConnection::Send(const std::string& bytes)
{
    size_t sent = 0;
    while (fd >= 0 && sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<size_t>(n);
    }
}

void RawConnection::FinishSending()
{
    if (fd >= 0) {
        shutdown(fd, SHUT_WR);
    }
}

std::string RawConnection::ReadAll(std::chrono::milliseconds limit)
{
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd readable{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        char buffer[4096];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        received.append(buffer, static_cast<size_t>(n));
    }
    return received;
}

void RawConnection::Close()
{
    if (fd >= 0) {
        close(fd);
    }
    fd = -1;
}
