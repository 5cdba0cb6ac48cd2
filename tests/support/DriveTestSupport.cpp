#include "DriveTestSupport.h"

#include "WireFormat.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <wx/fileconf.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

const char kStoreService[] = "com.tesselwick.orvanta.GoogleDrive";
const char kStoreAccount[] = "refresh_token";

// ---------------------------------------------------------------------------

bool MemorySecureStore::Get(const std::string& service, const std::string& account,
                            std::string& secret)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = items.find({service, account});
    if (it == items.end() || it->second.empty())
        return false;
    secret = it->second;
    return true;
}

bool MemorySecureStore::Add(const std::string& service, const std::string& account,
                            const std::string& secret)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (failAdds)
        return false;
    items[{service, account}] = secret;
    return true;
}

bool MemorySecureStore::Delete(const std::string& service, const std::string& account)
{
    std::lock_guard<std::mutex> lock(mutex);
    items.erase({service, account});
    return true;
}

void MemorySecureStore::Put(const std::string& secret)
{
    std::lock_guard<std::mutex> lock(mutex);
    items[{kStoreService, kStoreAccount}] = secret;
}

bool MemorySecureStore::Has() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return items.count({kStoreService, kStoreAccount}) != 0;
}

std::string MemorySecureStore::Secret() const
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = items.find({kStoreService, kStoreAccount});
    return it == items.end() ? std::string() : it->second;
}

void MemorySecureStore::FailAdds(bool fail)
{
    std::lock_guard<std::mutex> lock(mutex);
    failAdds = fail;
}

// ---------------------------------------------------------------------------

TempConfig::TempConfig()
{
    char pattern[] = "/tmp/orvanta-drive-test-XXXXXX";
    directory = ::mkdtemp(pattern);
    path = directory + "/orvanta.ini";
    config = new wxFileConfig(wxEmptyString, wxEmptyString, wxString::FromUTF8(path), wxEmptyString,
                              wxCONFIG_USE_LOCAL_FILE);
    delete wxConfigBase::Set(config);
}

TempConfig::~TempConfig()
{
    wxConfigBase::Set(nullptr);
    delete config;
    std::filesystem::remove_all(directory);
}

void TempConfig::Set(const std::string& key, const std::string& value)
{
    config->Write(wxString::FromUTF8(key), wxString::FromUTF8(value));
    config->Flush();
}

bool TempConfig::ReadFromDisk(const std::string& key, std::string& value) const
{
    wxFileConfig disk(wxEmptyString, wxEmptyString, wxString::FromUTF8(path), wxEmptyString,
                      wxCONFIG_USE_LOCAL_FILE);
    wxString text;
    if (!disk.Read(wxString::FromUTF8(key), &text))
        return false;
    value = text.utf8_string();
    return true;
}

bool TempConfig::GroupExistsOnDisk(const std::string& group) const
{
    wxFileConfig disk(wxEmptyString, wxEmptyString, wxString::FromUTF8(path), wxEmptyString,
                      wxCONFIG_USE_LOCAL_FILE);
    return disk.HasGroup(wxString::FromUTF8(group));
}

// ---------------------------------------------------------------------------

CompletionCallback CompletionProbe::Callback()
{
    return [shared = shared](bool ok, const std::string& message) {
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (shared->calls++ == 0) {
            shared->ok = ok;
            shared->message = message;
        }
        shared->changed.notify_all();
    };
}

bool CompletionProbe::Wait(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(shared->mutex);
    return shared->changed.wait_for(lock, limit, [this] { return shared->calls > 0; });
}

bool CompletionProbe::ok() const
{
    std::lock_guard<std::mutex> lock(shared->mutex);
    return shared->ok;
}

std::string CompletionProbe::message() const
{
    std::lock_guard<std::mutex> lock(shared->mutex);
    return shared->message;
}

int CompletionProbe::calls() const
{
    std::lock_guard<std::mutex> lock(shared->mutex);
    return shared->calls;
}

// ---------------------------------------------------------------------------

std::string QueryValue(const std::string& url, const std::string& name)
{
    const size_t query = url.find('?');
    if (query == std::string::npos)
        return {};
    return FormValue(ParseForm(url.substr(query + 1)), name);
}

int UrlPort(const std::string& url)
{
    const size_t hostStart = url.find("://") + 3;
    const size_t colon = url.find(':', hostStart);
    return std::atoi(url.c_str() + colon + 1);
}

TestBrowser::~TestBrowser()
{
    for (std::thread& t : threads)
        t.join();
}

BrowserLauncher TestBrowser::Launcher()
{
    return [this](const std::string& url) {
        std::lock_guard<std::mutex> lock(mutex);
        urls.push_back(url);
        threads.emplace_back([this, url] { Browse(url); });
        changed.notify_all();
        return true;
    };
}

BrowserLauncher TestBrowser::RecordingLauncher()
{
    return [this](const std::string& url) {
        std::lock_guard<std::mutex> lock(mutex);
        urls.push_back(url);
        changed.notify_all();
        return true;
    };
}

void TestBrowser::Browse(const std::string& url)
{
    const size_t pathStart = url.find('/', url.find("://") + 3);
    httplib::Client client(url.substr(0, pathStart));
    client.set_follow_location(true);
    client.set_url_encode(false);
    client.set_read_timeout(std::chrono::seconds(10));
    const httplib::Result result = client.Get(url.substr(pathStart).c_str());
    std::lock_guard<std::mutex> lock(mutex);
    pages.push_back(result ? result->body : std::string("<no response>"));
    changed.notify_all();
}

std::string TestBrowser::WaitForUrl(size_t n, std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (!changed.wait_for(lock, limit, [&] { return urls.size() >= n; }))
        return {};
    return urls[n - 1];
}

std::string TestBrowser::WaitForPage(size_t n, std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (!changed.wait_for(lock, limit, [&] { return pages.size() >= n; }))
        return {};
    return pages[n - 1];
}

size_t TestBrowser::Opened() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return urls.size();
}

// ---------------------------------------------------------------------------

RawConnection::RawConnection(int port)
{
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        Close();
}

RawConnection::~RawConnection()
{
    Close();
}

void RawConnection::Send(const std::string& bytes)
{
    if (fd >= 0)
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void RawConnection::FinishSending()
{
    if (fd >= 0)
        ::shutdown(fd, SHUT_WR);
}

std::string RawConnection::ReadAll(std::chrono::milliseconds limit)
{
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        received.append(buffer, static_cast<size_t>(n));
    }
    return received;
}

void RawConnection::Close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool PortRefuses(int port)
{
    RawConnection probe(port);
    return !probe.connected();
}

int UnusedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// ---------------------------------------------------------------------------

RawHttpServer::RawHttpServer(std::string reply, bool silent) : reply(std::move(reply)), silent(silent)
{
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length);
    ::listen(listenFd, 8);
    port = ntohs(address.sin_port);
    thread = std::thread([this] { Serve(); });
}

RawHttpServer::~RawHttpServer()
{
    stopping = true;
    thread.join();
    ::close(listenFd);
}

std::string RawHttpServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

std::vector<std::string> RawHttpServer::Requests() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return requests;
}

void RawHttpServer::Serve()
{
    std::vector<int> held;  // silent connections stay open until the end
    while (!stopping) {
        pollfd p{listenFd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const int fd = ::accept(listenFd, nullptr, nullptr);
        if (fd < 0)
            continue;
        // Read the header block, then as many body bytes as Content-Length says.
        std::string request;
        size_t wanted = std::string::npos;
        while (!stopping && request.size() < wanted) {
            pollfd c{fd, POLLIN, 0};
            if (::poll(&c, 1, 50) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            request.append(buffer, static_cast<size_t>(n));
            const size_t headerEnd = request.find("\r\n\r\n");
            if (headerEnd != std::string::npos && wanted == std::string::npos) {
                size_t length = 0;
                const size_t field = request.find("Content-Length: ");
                if (field != std::string::npos && field < headerEnd)
                    length = std::strtoul(request.c_str() + field + 16, nullptr, 10);
                wanted = headerEnd + 4 + length;
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            requests.push_back(request);
        }
        if (silent) {
            held.push_back(fd);
            continue;
        }
        ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        ::close(fd);
    }
    for (const int fd : held)
        ::close(fd);
}

// ---------------------------------------------------------------------------

std::vector<uint8_t> RedBlueFrame(int width, int height)
{
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* pixel = &rgb[(static_cast<size_t>(y) * width + x) * 3];
            const bool left = x < width / 2;
            pixel[0] = left ? 230 : 10;
            pixel[1] = 20;
            pixel[2] = left ? 10 : 230;
        }
    }
    return rgb;
}

// ---------------------------------------------------------------------------

StdoutCapture::StdoutCapture()
{
    testing::internal::CaptureStdout();
}

StdoutCapture::~StdoutCapture()
{
    if (!taken)
        testing::internal::GetCapturedStdout();
}

std::string StdoutCapture::Take()
{
    taken = true;
    return testing::internal::GetCapturedStdout();
}
