// Loopback OAuth authorization (RFC 8252) with state and PKCE (RFC 7636).

#include "DesktopLauncher.h"
#include "DriveSession.h"
#include "GoogleDriveUploader.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

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

std::string Base64Url(const unsigned char* bytes, size_t length)
{
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    size_t i = 0;
    for (; i + 2 < length; i += 3) {
        const unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    if (i + 1 == length) {
        const unsigned v = bytes[i] << 16;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
    } else if (i + 2 == length) {
        const unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
    }
    return out;
}

// A fresh unguessable value of byteCount random bytes, base64url-encoded
// (unreserved characters only); empty when no randomness could be had.
std::string RandomToken(size_t byteCount)
{
    std::vector<unsigned char> bytes(byteCount);
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1)
        return {};
    return Base64Url(bytes.data(), bytes.size());
}

// The S256 code challenge of a verifier; empty on failure.
std::string CodeChallenge(const std::string& verifier)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(verifier.data(), verifier.size(), digest, &digestLength, EVP_sha256(), nullptr) != 1)
        return {};
    return Base64Url(digest, digestLength);
}

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

int GoogleDriveUploader::BindFreePort(int& socketFd)
{
    // Close-on-exec: the browser started later must not inherit the listener.
    socketFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socketFd < 0)
        return -1;
    const int reuse = 1;
    ::setsockopt(socketFd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);

    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::getsockname(socketFd, reinterpret_cast<sockaddr*>(&address), &length) != 0
        || ::listen(socketFd, kListenBacklog) != 0) {
        ::close(socketFd);
        socketFd = -1;
        return -1;
    }
    return ntohs(address.sin_port);
}

void DriveSession::RunAuthorization(const DriveCredentials& client,
                                    const CompletionCallback& onDone)
{
    using U = GoogleDriveUploader;
    const std::string state = RandomToken(32);
    const std::string codeVerifier = RandomToken(48);
    const std::string codeChallenge = CodeChallenge(codeVerifier);
    if (state.empty() || codeVerifier.empty() || codeChallenge.empty()) {
        onDone(false, "Could not prepare the authorization request");
        return;
    }

    int rawListenFd = -1;
    const int port = U::BindFreePort(rawListenFd);
    if (port < 0) {
        onDone(false, "Failed to bind local port for OAuth callback");
        return;
    }
    UniqueFd listenFd(rawListenFd);

    // The loopback literal, not "localhost": the listener is IPv4 only and a
    // browser trying ::1 first would not reach it.
    const std::string redirectUri = "http://127.0.0.1:" + std::to_string(port) + "/oauth2callback";
    const std::string authUrl = endpoints.authUrl + "?client_id=" + U::UrlEncode(client.clientId)
        + "&redirect_uri=" + U::UrlEncode(redirectUri) + "&response_type=code&scope="
        + U::UrlEncode(endpoints.scope) + "&access_type=offline&prompt=consent&state=" + state
        + "&code_challenge=" + codeChallenge + "&code_challenge_method=S256";
    const bool opened = launchBrowser ? launchBrowser(authUrl) : OpenWithDesktop(authUrl);
    if (!opened)
        DriveLog("[Drive] Could not open the browser for authorization\n");

    const std::string code = WaitForAuthCode(std::move(listenFd), state);
    if (code.empty()) {
        onDone(false, "No authorization code received");
        return;
    }
    if (ExchangeCodeForTokens(code, redirectUri, codeVerifier, client)) {
        SaveTokens();
        onDone(true, "Connected to Google Drive");
    } else {
        onDone(false, "Token exchange failed — check client credentials");
    }
}

// Serves the redirect listener until the first callback request, the
// deadline or shutdown. Connections are read side by side, so an idle
// speculative connection does not hold up the real one; everything that is not
// a GET of /oauth2callback gets a 404 and listening goes on.
std::string DriveSession::WaitForAuthCode(UniqueFd listenFd, const std::string& expectedState)
{
    struct Connection {
        UniqueFd fd;
        std::string received;
        Clock::time_point deadline;
    };
    std::vector<Connection> connections;
    const Clock::time_point deadline = Clock::now() + timings.redirectWait;

    while (!shuttingDown) {
        Clock::time_point wakeAt = deadline;
        for (const Connection& c : connections)
            wakeAt = std::min(wakeAt, c.deadline);
        if (Clock::now() >= deadline)
            return {};

        std::vector<pollfd> fds;
        fds.push_back({wakeRead.Get(), POLLIN, 0});
        const bool acceptMore = connections.size() < kMaxOpenConnections;
        fds.push_back({acceptMore ? listenFd.Get() : -1, POLLIN, 0});
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

            const RedirectRequest request = GoogleDriveUploader::ParseRedirectRequest(c.received);
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
            UniqueFd accepted(::accept4(listenFd.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (accepted.Get() >= 0) {
                connections.push_back({std::move(accepted), std::string(),
                                       Clock::now() + timings.connectionReadTimeout});
            } else if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
                // A listener that cannot accept would stay readable and spin.
                return {};
            }
        }
    }
    return {};
}
