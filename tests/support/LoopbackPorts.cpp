#include "LoopbackPorts.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Binds a TCP socket to 127.0.0.1 on a port the kernel picks. Returns the
// socket (or -1) and stores the port.
int BindLoopback(int& port)
{
    port = -1;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
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
