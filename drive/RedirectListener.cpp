#include "RedirectListener.h"

#include "DriveText.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char kCallbackPagePrefix[] =
    "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n"
    "<html><body style='font-family:sans-serif;padding:2em'>";
const char kAuthenticatedPage[] =
    "<h2>Authenticated!</h2><p>You can close this tab and return to Orvanta.</p></body></html>";
const char kNotCompletedPage[] =
    "<h2>Authorization not completed</h2><p>Orvanta was not given access to Google Drive. "
    "You can close this tab and try again from the Drive menu.</p></body></html>";
const char kNotFoundReply[] =
    "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// A browser's request line and headers fit easily; anything longer is not one.
constexpr size_t kMaxRequestBytes = 8192;
// Browsers open a few speculative connections beside the real one.
constexpr size_t kMaxOpenConnections = 16;
constexpr int kListenBacklog = 8;

void SendAll(int fd, const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += static_cast<size_t>(n);
    }
}

int MillisecondsUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count() + 1, 0, 60000));
}

}  // namespace

int BindFreePort(UniqueFd& listener)
{
    // Close-on-exec: the browser started later must not inherit the listener.
    listener.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener)
        return -1;
    const int reuse = 1;
    ::setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);

    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0
        || ::listen(listener.Get(), kListenBacklog) != 0) {
        listener.Reset();
        return -1;
    }
    return ntohs(address.sin_port);
}

// Connections are read side by side, so an idle speculative connection does
// not hold up the real one.
std::string WaitForAuthCode(UniqueFd listener, const std::string& expectedState,
                            const RedirectWait& wait)
{
    struct Connection {
        UniqueFd fd;
        std::string received;
        Clock::time_point deadline;
    };
    std::vector<Connection> connections;
    const Clock::time_point deadline = Clock::now() + wait.total;
    const auto stopped = [&wait] { return wait.stop && wait.stop->load(); };

    while (!stopped()) {
        Clock::time_point wakeAt = deadline;
        for (const Connection& c : connections)
            wakeAt = std::min(wakeAt, c.deadline);
        if (Clock::now() >= deadline)
            return {};

        std::vector<pollfd> fds;
        fds.push_back({wait.wakeFd, POLLIN, 0});
        const bool acceptMore = connections.size() < kMaxOpenConnections;
        fds.push_back({acceptMore ? listener.Get() : -1, POLLIN, 0});
        for (const Connection& c : connections)
            fds.push_back({c.fd.Get(), POLLIN, 0});

        const int ready = ::poll(fds.data(), fds.size(), MillisecondsUntil(wakeAt));
        if (ready < 0 && errno != EINTR)
            return {};
        if (fds[0].revents != 0)
            return {};

        for (size_t i = 0; ready > 0 && i < connections.size(); ++i) {
            if (fds[i + 2].revents == 0)
                continue;
            Connection& c = connections[i];
            char buffer[2048];
            const size_t room = std::min(sizeof buffer, kMaxRequestBytes - c.received.size());
            const ssize_t n = ::recv(c.fd.Get(), buffer, room, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                continue;
            if (n > 0)
                c.received.append(buffer, static_cast<size_t>(n));
            const bool ended = n <= 0 || c.received.size() >= kMaxRequestBytes;

            const RedirectRequest request = ParseRedirectRequest(c.received);
            if (request.kind == RedirectRequest::Kind::Incomplete && !ended)
                continue;
            if (request.kind != RedirectRequest::Kind::Callback) {
                SendAll(c.fd.Get(), kNotFoundReply);
                c.deadline = Clock::time_point::min();
                continue;
            }
            // The first callback ends the wait: with the code only when it
            // answers this attempt's own request and carries no error.
            const bool accepted = request.state == expectedState && request.error.empty()
                && !request.code.empty();
            SendAll(c.fd.Get(), std::string(kCallbackPagePrefix)
                                    + (accepted ? kAuthenticatedPage : kNotCompletedPage));
            return accepted ? request.code : std::string();
        }

        // Drop answered connections and those that said too little in time.
        const Clock::time_point now = Clock::now();
        connections.erase(std::remove_if(connections.begin(), connections.end(),
                                         [now](const Connection& c) { return c.deadline <= now; }),
                          connections.end());

        if (acceptMore && fds[1].revents != 0) {
            UniqueFd accepted(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (accepted) {
                connections.push_back({std::move(accepted), std::string(),
                                       Clock::now() + wait.perConnection});
            } else if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
                // A listener that cannot accept would stay readable and spin.
                return {};
            }
        }
    }
    return {};
}
