#include "SoakProvider.h"

#include <httplib.h>

#include <chrono>

namespace {

const char kScope[] = "https://www.googleapis.com/auth/drive.file";
const char kJson[] = "application/json; charset=utf-8";
const char kFolderMime[] = "application/vnd.google-apps.folder";

std::string FileBody(const std::string& id, const std::string& name, const std::string& mime)
{
    return "{\n  \"kind\": \"drive#file\",\n  \"id\": \"" + id + "\",\n  \"name\": \"" + name
        + "\",\n  \"mimeType\": \"" + mime + "\"\n}\n";
}

}  // namespace

const char SoakProvider::kClientId[] = "123456789012-soakclientforbenchonly0000000.apps.example";
const char SoakProvider::kClientSecret[] = "SOAK-not-a-real-secret";

SoakProvider::SoakProvider() : server(std::make_unique<httplib::Server>())
{
    server->Post("/token", [this](const httplib::Request& q, httplib::Response& r) { Token(q, r); });
    server->Get("/drive/v3/files", [this](const httplib::Request& q, httplib::Response& r) { Search(q, r); });
    server->Post("/drive/v3/files", [this](const httplib::Request& q, httplib::Response& r) { Create(q, r); });
    server->Post("/upload/drive/v3/files",
                 [this](const httplib::Request& q, httplib::Response& r) { Upload(q, r); });
    port = server->bind_to_any_port("127.0.0.1");
    if (port <= 0) {
        port = 0;
        return;
    }
    listener = std::thread([this] { server->listen_after_bind(); });
    // A stop before the accept loop runs would be lost and the join would hang.
    while (!server->is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

SoakProvider::~SoakProvider()
{
    if (listener.joinable()) {
        server->stop();
        listener.join();
    }
}

std::string SoakProvider::BaseUrl() const
{
    return "http://127.0.0.1:" + std::to_string(port);
}

std::string SoakProvider::AddRefreshToken()
{
    std::lock_guard<std::mutex> lock(mutex);
    const std::string token = "1//soak-refresh-" + std::to_string(++issued);
    refreshTokens.insert(token);
    return token;
}

SoakProvider::Counts SoakProvider::Snapshot() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return counts;
}

std::string SoakProvider::LastRefusal() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return lastRefusal;
}

void SoakProvider::Refuse(httplib::Response& response, int status, const std::string& why)
{
    ++counts.refused;
    lastRefusal = why;
    response.status = status;
    response.set_content("{\n  \"error\": {\n    \"code\": " + std::to_string(status)
                             + ",\n    \"message\": \"" + why + "\"\n  }\n}\n",
                         kJson);
}

bool SoakProvider::Authorized(const httplib::Request& request, httplib::Response& response)
{
    const std::string header = request.get_header_value("Authorization");
    const std::string prefix = "Bearer ";
    if (header.compare(0, prefix.size(), prefix) == 0
        && accessTokens.count(header.substr(prefix.size())) != 0) {
        return true;
    }
    Refuse(response, 401, "Request had invalid authentication credentials.");
    return false;
}

void SoakProvider::Token(const httplib::Request& request, httplib::Response& response)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (request.get_param_value("grant_type") != "refresh_token"
        || request.get_param_value("client_id") != kClientId
        || refreshTokens.count(request.get_param_value("refresh_token")) == 0) {
        ++counts.refused;
        lastRefusal = "token request";
        response.status = 400;
        response.set_content("{\n  \"error\": \"invalid_grant\",\n  \"error_description\": "
                             "\"Token has been expired or revoked.\"\n}",
                             kJson);
        return;
    }
    ++counts.refreshes;
    const std::string access = "ya29.soak-access-" + std::to_string(++issued);
    accessTokens.insert(access);
    response.set_content("{\n  \"access_token\": \"" + access + "\",\n  \"expires_in\": 3599,\n"
                             + "  \"scope\": \"" + kScope + "\",\n  \"token_type\": \"Bearer\"\n}",
                         kJson);
}

void SoakProvider::Search(const httplib::Request& request, httplib::Response& response)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!Authorized(request, response)) {
        return;
    }
    ++counts.searches;
    std::string list;
    for (const std::string& id : folderIds) {
        list += std::string(list.empty() ? "" : ",") + "\n    {\n      \"id\": \"" + id
            + "\",\n      \"name\": \"Orvanta\"\n    }";
    }
    response.set_content("{\n  \"files\": [" + list + (list.empty() ? "" : "\n  ") + "]\n}\n", kJson);
}

void SoakProvider::Create(const httplib::Request& request, httplib::Response& response)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!Authorized(request, response)) {
        return;
    }
    if (request.body.find(kFolderMime) == std::string::npos) {
        Refuse(response, 400, "Invalid metadata");
        return;
    }
    ++counts.folderCreations;
    const std::string id = "folder-soak-" + std::to_string(++issued);
    folderIds.push_back(id);
    response.set_content(FileBody(id, "Orvanta", kFolderMime), kJson);
}

void SoakProvider::Upload(const httplib::Request& request, httplib::Response& response)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!Authorized(request, response)) {
        return;
    }
    if (request.get_param_value("uploadType") != "multipart") {
        Refuse(response, 400, "uploadType");
        return;
    }
    // The picture is the second part: its headers, a blank line, then a JPEG
    // (starting with its SOI marker) up to the closing delimiter.
    const std::string imageHeaders = "Content-Type: image/jpeg\r\n\r\n";
    const size_t image = request.body.find(imageHeaders);
    const size_t closing = request.body.rfind("\r\n--");
    if (image == std::string::npos || closing == std::string::npos
        || request.body.compare(image + imageHeaders.size(), 2, "\xFF\xD8") != 0
        || closing < image + imageHeaders.size()) {
        Refuse(response, 400, "Malformed multipart body");
        return;
    }
    bool knownParent = false;
    for (const std::string& id : folderIds) {
        knownParent = knownParent || request.body.find("\"" + id + "\"") < image;
    }
    if (!knownParent) {
        Refuse(response, 404, "File not found: parent.");
        return;
    }
    ++counts.uploads;
    counts.uploadedBytes += closing - image - imageHeaders.size();
    response.set_content(FileBody("file-soak-" + std::to_string(++issued), "frame.jpg", "image/jpeg"),
                         kJson);
}
