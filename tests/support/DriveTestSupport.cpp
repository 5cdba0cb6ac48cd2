#include "DriveTestSupport.h"

#include <wx/fileconf.h>

#include <cstdlib>
#include <filesystem>

namespace {

// Where the Drive client keeps the refresh token.
const char kStoreService[] = "com.tesselwick.orvanta.GoogleDrive";
const char kStoreAccount[] = "refresh_token";

}  // namespace

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
    const HttpGetResult result = HttpGet(url, true);
    std::lock_guard<std::mutex> lock(mutex);
    pages.push_back(result.status != 0 ? result.body : std::string("<no response>"));
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
