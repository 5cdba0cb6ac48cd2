#pragma once

// Loopback helpers for tests that need a port where nothing, or something
// that never answers, is listening, and a raw client to talk to a port byte
// by byte. Everything here stays on 127.0.0.1.

#include <chrono>
#include <string>

// A TCP port on 127.0.0.1 that was free a moment ago (bound, then released),
// for a server that cannot pick its own port.
int FreeLoopbackPort();

// True when a TCP connection to 127.0.0.1:port is refused.
bool PortRefuses(int port);

// Holds a port on 127.0.0.1 where nothing listens: a bound socket that never
// listens, so connections are refused and no one else can take the port
// while this object lives.
class ClosedLoopbackPort {
public:
    ClosedLoopbackPort();
    ~ClosedLoopbackPort();
    ClosedLoopbackPort(const ClosedLoopbackPort&) = delete;
    ClosedLoopbackPort& operator=(const ClosedLoopbackPort&) = delete;

    // The port number, or -1 if no socket could be bound.
    int Port() const { return port; }

private:
    int fd = -1;
    int port = -1;
};

// A server on 127.0.0.1 that accepts connections and never says a word: the
// kernel completes every handshake from the listen backlog and nothing ever
// reads or writes. Connections close when this object goes.
class SilentLoopbackServer {
public:
    SilentLoopbackServer();
    ~SilentLoopbackServer();
    SilentLoopbackServer(const SilentLoopbackServer&) = delete;
    SilentLoopbackServer& operator=(const SilentLoopbackServer&) = delete;

    // The port number, or -1 if no socket could be bound.
    int Port() const { return port; }

private:
    int fd = -1;
    int port = -1;
};

// A raw TCP client of 127.0.0.1:port, connected on construction. Used by one
// thread at a time.
class RawConnection {
public:
    explicit RawConnection(int port);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return fd >= 0; }
    void Send(const std::string& bytes);
    // Half-closes: the peer reads the end of the request.
    void FinishSending();
    // Reads until the peer closes or the limit passes.
    std::string ReadAll(std::chrono::milliseconds limit = std::chrono::seconds(5));
    void Close();

private:
    int fd = -1;
};
