#include "LoopbackHttp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr size_t kMaxHeadBytes = 64 * 1024;
// Well above the largest frame the uploads carry.
constexpr size_t kMaxBodyBytes = 64 * 1024 * 1024;
// How long a closing connection waits for the client to close its side, so
// that unread request bytes do not turn the close into a reset that could
// destroy the answer in flight.
constexpr int kLingerMs = 1000;

bool SameName(const std::string& a, const std::string& b)
{
    return a.size() == b.size()
        && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// Reads '+' as a space; a '%' without two hex digits stays.
std::string FormDecode(const std::string& value)
{
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '+') {
            out += ' ';
        } else if (value[i] == '%' && i + 2 < value.size()
                   && std::isxdigit(static_cast<unsigned char>(value[i + 1]))
                   && std::isxdigit(static_cast<unsigned char>(value[i + 2]))) {
            out += static_cast<char>(std::strtol(value.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += value[i];
        }
    }
    return out;
}

std::vector<std::string> ValuesOf(const HttpHeaders& headers, const std::string& name)
{
    std::vector<std::string> values;
    for (const auto& header : headers) {
        if (SameName(header.first, name))
            values.push_back(header.second);
    }
    return values;
}

std::string FirstValueOf(const HttpHeaders& headers, const std::string& name)
{
    const std::vector<std::string> values = ValuesOf(headers, name);
    return values.empty() ? std::string() : values.front();
}

// The header fields of a head whose first line (request or status line) ends
// at firstLineEnd.
HttpHeaders ParseHeaderLines(const std::string& head, size_t firstLineEnd)
{
    HttpHeaders headers;
    size_t lineEnd = firstLineEnd;
    while (lineEnd != std::string::npos) {
        const size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string line =
            head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        // Without the optional white space around the value; the colon is
        // never white, so an empty value comes out empty.
        const size_t value = std::min(line.find_first_not_of(" \t", colon + 1), line.size());
        const size_t end = std::max(line.find_last_not_of(" \t") + 1, value);
        headers.emplace_back(line.substr(0, colon), line.substr(value, end - value));
    }
    return headers;
}

bool SendAll(int fd, const std::string& data)
{
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string Serialize(const HttpReply& reply)
{
    if (!reply.raw.empty())
        return reply.raw;
    // The reason phrase is optional (RFC 9112) and nobody here reads it.
    std::string text = "HTTP/1.1 " + std::to_string(reply.status) + " \r\n";
    if (!reply.contentType.empty())
        text += "Content-Type: " + reply.contentType + "\r\n";
    for (const auto& header : reply.headers)
        text += header.first + ": " + header.second + "\r\n";
    // 1xx, 204 and 304 answers have no body and no length (RFC 9110).
    const bool bodiless = reply.status < 200 || reply.status == 204 || reply.status == 304;
    if (!bodiless)
        text += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    return text + "Connection: close\r\n\r\n" + (bodiless ? std::string() : reply.body);
}

// Reads one request from fd. Returns 0 when it was read whole, the status of
// the error answer it deserves, or -1 when the peer went before finishing it.
int ReadRequest(int fd, RecordedRequest& request)
{
    std::string data;
    char buffer[16384];
    size_t headEnd;
    while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
        if (data.size() > kMaxHeadBytes)
            return 400;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return -1;
        data.append(buffer, static_cast<size_t>(n));
    }
    const std::string head = data.substr(0, headEnd);
    const size_t lineEnd = head.find("\r\n");
    const std::string line = head.substr(0, lineEnd);
    const size_t firstSpace = line.find(' ');
    const size_t secondSpace = line.find(' ', firstSpace + 1);
    if (firstSpace == 0 || firstSpace == std::string::npos || secondSpace == std::string::npos
        || line.compare(secondSpace + 1, 5, "HTTP/") != 0) {
        return 400;
    }
    request.method = line.substr(0, firstSpace);
    request.target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    const size_t query = request.target.find('?');
    request.path = request.target.substr(0, query);
    if (query != std::string::npos) {
        for (const auto& field : ParseForm(request.target.substr(query + 1)))
            request.params.insert(field);
    }
    request.headers = ParseHeaderLines(head, lineEnd);

    // Bodies come with a length (the clients under test send no chunked ones).
    const std::string length = request.Header("Content-Length");
    char* lengthEnd = nullptr;
    const size_t bodySize = std::strtoull(length.c_str(), &lengthEnd, 10);
    if (*lengthEnd != '\0')
        return 400;
    if (bodySize > kMaxBodyBytes)
        return 413;
    request.body = data.substr(headEnd + 4, bodySize);
    if (request.body.size() < bodySize && SameName(request.Header("Expect"), "100-continue")
        && !SendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n")) {
        return -1;
    }
    while (request.body.size() < bodySize) {
        const ssize_t n = recv(fd, buffer, std::min(sizeof buffer, bodySize - request.body.size()), 0);
        if (n <= 0)
            return -1;
        request.body.append(buffer, static_cast<size_t>(n));
    }
    request.raw = data.substr(0, headEnd + 4) + request.body;
    return 0;
}

}  // namespace

std::string RecordedRequest::Header(const std::string& name) const
{
    return FirstValueOf(headers, name);
}

std::vector<std::string> RecordedRequest::HeaderValues(const std::string& name) const
{
    return ValuesOf(headers, name);
}

std::string HttpGetResult::Header(const std::string& name) const
{
    return FirstValueOf(headers, name);
}

HttpReply HttpReply::Raw(std::string bytes)
{
    HttpReply reply;
    reply.raw = std::move(bytes);
    return reply;
}

HttpReply HttpReply::Silent()
{
    HttpReply reply;
    reply.silent = true;
    return reply;
}

LoopbackHttpServer::LoopbackHttpServer(HttpReply reply) : LoopbackHttpServer(Handler(), true)
{
    SetReply(std::move(reply));
}

LoopbackHttpServer::LoopbackHttpServer(Handler handler, bool keepRequests)
    : handler(std::move(handler)), keepRequests(keepRequests)
{
    listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listenFd < 0 || bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || listen(listenFd, 64) != 0
        || getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return;
    }
    port = ntohs(address.sin_port);
    acceptor = std::thread([this] { AcceptLoop(); });
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        for (const Connection& connection : connections) {
            if (connection.fd >= 0)
                shutdown(connection.fd, SHUT_RDWR);
        }
    }
    changed.notify_all();
    if (acceptor.joinable()) {
        // Wakes the blocked accept().
        shutdown(listenFd, SHUT_RDWR);
        acceptor.join();
    }
    // Only the acceptor changed the list; it is gone.
    for (Connection& connection : connections)
        connection.thread.join();
    if (listenFd >= 0)
        close(listenFd);
}

std::string LoopbackHttpServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

void LoopbackHttpServer::SetReply(HttpReply reply)
{
    std::lock_guard<std::mutex> lock(mutex);
    fixedReply = std::move(reply);
}

void LoopbackHttpServer::Hold(std::chrono::milliseconds limit)
{
    std::lock_guard<std::mutex> lock(mutex);
    holding = true;
    maxHold = limit;
}

void LoopbackHttpServer::Release()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        holding = false;
    }
    changed.notify_all();
}

bool LoopbackHttpServer::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return requests.size() >= count; });
}

std::vector<RecordedRequest> LoopbackHttpServer::Requests() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return requests;
}

void LoopbackHttpServer::AcceptLoop()
{
    for (;;) {
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        std::vector<std::thread> finished;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) {
                if (fd >= 0)
                    close(fd);
                return;
            }
            for (auto it = connections.begin(); it != connections.end();) {
                if (it->fd < 0) {
                    finished.push_back(std::move(it->thread));
                    it = connections.erase(it);
                } else {
                    ++it;
                }
            }
            if (fd >= 0) {
                Connection& connection = connections.emplace_back(Connection{fd, {}});
                connection.thread = std::thread([this, &connection] { Serve(connection); });
            }
        }
        for (std::thread& thread : finished)
            thread.join();
        if (fd < 0) {
            // Out of descriptors or an aborted handshake: try again shortly.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

void LoopbackHttpServer::Serve(Connection& connection)
{
    // Set before this thread started; only this thread changes it.
    const int fd = connection.fd;
    RecordedRequest request;
    const int readStatus = ReadRequest(fd, request);
    HttpReply reply;
    reply.status = readStatus;
    if (readStatus == 0) {
        std::unique_lock<std::mutex> lock(mutex);
        if (keepRequests)
            requests.push_back(request);
        changed.notify_all();
        if (holding)
            changed.wait_for(lock, maxHold, [this] { return stopping || !holding; });
        if (!handler)
            reply = fixedReply;
    }
    if (readStatus == 0 && handler)
        reply = handler(request);
    bool answer = readStatus >= 0;
    if (answer) {
        std::unique_lock<std::mutex> lock(mutex);
        if (reply.silent)
            changed.wait(lock, [this] { return stopping; });
        else
            changed.wait_for(lock, reply.delay, [this] { return stopping; });
        answer = !stopping;
    }
    if (answer && SendAll(fd, Serialize(reply))) {
        shutdown(fd, SHUT_WR);
        pollfd closed{fd, POLLIN, 0};
        char buffer[4096];
        while (poll(&closed, 1, kLingerMs) > 0 && recv(fd, buffer, sizeof buffer, 0) > 0) {
        }
    }
    std::lock_guard<std::mutex> lock(mutex);
    close(fd);
    connection.fd = -1;
}

HttpGetResult HttpGet(const std::string& url, bool followRedirects, const HttpHeaders& headers,
                      std::chrono::milliseconds timeout)
{
    std::string next = url;
    for (int hop = 0; hop <= 5; ++hop) {
        const size_t hostStart = next.find("://") + 3;
        const size_t hostEnd = next.find_first_of(":/?", hostStart);
        const std::string host = next.substr(hostStart, hostEnd - hostStart);
        const int port = UrlPort(next);
        const size_t path = next.find('/', hostStart);
        if (next.compare(0, hostStart, "http://") != 0 || (host != "127.0.0.1" && host != "localhost")
            || port <= 0 || port > 65535) {
            return {};
        }
        std::string request = "GET " + (path == std::string::npos ? "/" : next.substr(path))
            + " HTTP/1.1\r\nHost: " + host + ":" + std::to_string(port) + "\r\n";
        for (const auto& header : headers)
            request += header.first + ": " + header.second + "\r\n";
        RawConnection connection(port);
        connection.Send(request + "Connection: close\r\n\r\n");
        const std::string response = connection.ReadAll(timeout);

        HttpGetResult result;
        const size_t headEnd = response.find("\r\n\r\n");
        const size_t lineEnd = response.find("\r\n");
        if (response.compare(0, 5, "HTTP/") != 0 || headEnd == std::string::npos
            || response.find(' ') > lineEnd) {
            return result;
        }
        result.status = std::atoi(response.c_str() + response.find(' ') + 1);
        result.headers = ParseHeaderLines(response.substr(0, headEnd), lineEnd);
        result.body = response.substr(headEnd + 4);
        const std::string length = result.Header("Content-Length");
        if (!length.empty())
            result.body.resize(std::min<size_t>(result.body.size(), std::strtoull(length.c_str(), nullptr, 10)));
        const std::string location = result.Header("Location");
        if (!followRedirects || result.status < 300 || result.status > 399 || location.empty())
            return result;
        next = location[0] == '/' ? next.substr(0, path) + location : location;
    }
    return {};
}

std::string FormEncode(const std::string& value)
{
    std::string out;
    for (const unsigned char c : value) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'
            || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            out += escaped;
        }
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> ParseForm(const std::string& text)
{
    std::vector<std::pair<std::string, std::string>> form;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('&', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string field = text.substr(pos, end - pos);
        const size_t equals = field.find('=');
        form.emplace_back(FormDecode(field.substr(0, equals)),
                          equals == std::string::npos ? "" : FormDecode(field.substr(equals + 1)));
        pos = end + 1;
    }
    return form;
}

std::string FormValue(const std::vector<std::pair<std::string, std::string>>& form,
                      const std::string& name)
{
    for (const auto& field : form) {
        if (field.first == name)
            return field.second;
    }
    return {};
}

std::string QueryValue(const std::string& url, const std::string& name)
{
    const size_t query = url.find('?');
    if (query == std::string::npos)
        return {};
    return FormValue(ParseForm(url.substr(query + 1)), name);
}

int UrlPort(const std::string& url)
{
    const size_t scheme = url.find("://");
    const size_t hostStart = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t hostEnd = url.find_first_of(":/?", hostStart);
    // c_str() keeps a terminator at size(), so the character after the colon exists.
    if (hostEnd == std::string::npos || url[hostEnd] != ':'
        || !std::isdigit(static_cast<unsigned char>(url.c_str()[hostEnd + 1]))) {
        return -1;
    }
    return std::atoi(url.c_str() + hostEnd + 1);
}
