#include "SoakProvider.h"

namespace {

const char kScope[] = "https://www.googleapis.com/auth/drive.file";
const char kJson[] = "application/json; charset=utf-8";
const char kFolderMime[] = "application/vnd.google-apps.folder";
const char kUnauthenticated[] = "Request had invalid authentication credentials.";

std::string FileBody(const std::string& id, const std::string& name, const std::string& mime)
{
    return "{\n  \"kind\": \"drive#file\",\n  \"id\": \"" + id + "\",\n  \"name\": \"" + name
        + "\",\n  \"mimeType\": \"" + mime + "\"\n}\n";
}

}  // namespace

const char SoakProvider::kClientId[] = "123456789012-soakclientforbenchonly0000000.apps.example";
const char SoakProvider::kClientSecret[] = "SOAK-not-a-real-secret";

std::string SoakProvider::BaseUrl() const
{
    return server.Url("");
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

HttpReply SoakProvider::Handle(const RecordedRequest& request)
{
    std::lock_guard<std::mutex> lock(mutex);
    const bool post = request.method == "POST";
    if (post && request.path == "/token") {
        return Token(request);
    }
    if (request.path == "/drive/v3/files") {
        return post ? Create(request) : Search(request);
    }
    if (post && request.path == "/upload/drive/v3/files") {
        return Upload(request);
    }
    return HttpReply(404);
}

HttpReply SoakProvider::Refuse(int status, const std::string& why)
{
    ++counts.refused;
    lastRefusal = why;
    return HttpReply(status,
                     "{\n  \"error\": {\n    \"code\": " + std::to_string(status)
                         + ",\n    \"message\": \"" + why + "\"\n  }\n}\n",
                     kJson);
}

bool SoakProvider::Authorized(const RecordedRequest& request)
{
    const std::string header = request.Header("Authorization");
    const std::string prefix = "Bearer ";
    return header.compare(0, prefix.size(), prefix) == 0
        && accessTokens.count(header.substr(prefix.size())) != 0;
}

HttpReply SoakProvider::Token(const RecordedRequest& request)
{
    const auto form = ParseForm(request.body);
    if (FormValue(form, "grant_type") != "refresh_token" || FormValue(form, "client_id") != kClientId
        || refreshTokens.count(FormValue(form, "refresh_token")) == 0) {
        ++counts.refused;
        lastRefusal = "token request";
        return HttpReply(400,
                         "{\n  \"error\": \"invalid_grant\",\n  \"error_description\": "
                         "\"Token has been expired or revoked.\"\n}",
                         kJson);
    }
    ++counts.refreshes;
    const std::string access = "ya29.soak-access-" + std::to_string(++issued);
    accessTokens.insert(access);
    return HttpReply(200,
                     "{\n  \"access_token\": \"" + access + "\",\n  \"expires_in\": 3599,\n"
                         + "  \"scope\": \"" + kScope + "\",\n  \"token_type\": \"Bearer\"\n}",
                     kJson);
}

HttpReply SoakProvider::Search(const RecordedRequest& request)
{
    if (!Authorized(request)) {
        return Refuse(401, kUnauthenticated);
    }
    ++counts.searches;
    std::string list;
    for (const std::string& id : folderIds) {
        list += std::string(list.empty() ? "" : ",") + "\n    {\n      \"id\": \"" + id
            + "\",\n      \"name\": \"Orvanta\"\n    }";
    }
    return HttpReply(200, "{\n  \"files\": [" + list + (list.empty() ? "" : "\n  ") + "]\n}\n", kJson);
}

HttpReply SoakProvider::Create(const RecordedRequest& request)
{
    if (!Authorized(request)) {
        return Refuse(401, kUnauthenticated);
    }
    if (request.body.find(kFolderMime) == std::string::npos) {
        return Refuse(400, "Invalid metadata");
    }
    ++counts.folderCreations;
    const std::string id = "folder-soak-" + std::to_string(++issued);
    folderIds.push_back(id);
    return HttpReply(200, FileBody(id, "Orvanta", kFolderMime), kJson);
}

HttpReply SoakProvider::Upload(const RecordedRequest& request)
{
    if (!Authorized(request)) {
        return Refuse(401, kUnauthenticated);
    }
    const auto uploadType = request.params.find("uploadType");
    if (uploadType == request.params.end() || uploadType->second != "multipart") {
        return Refuse(400, "uploadType");
    }
    // The picture is the second part: its headers, a blank line, then a JPEG
    // (starting with its SOI marker) up to the closing delimiter.
    const std::string imageHeaders = "Content-Type: image/jpeg\r\n\r\n";
    const size_t image = request.body.find(imageHeaders);
    const size_t closing = request.body.rfind("\r\n--");
    if (image == std::string::npos || closing == std::string::npos
        || request.body.compare(image + imageHeaders.size(), 2, "\xFF\xD8") != 0
        || closing < image + imageHeaders.size()) {
        return Refuse(400, "Malformed multipart body");
    }
    bool knownParent = false;
    for (const std::string& id : folderIds) {
        knownParent = knownParent || request.body.find("\"" + id + "\"") < image;
    }
    if (!knownParent) {
        return Refuse(404, "File not found: parent.");
    }
    ++counts.uploads;
    counts.uploadedBytes += closing - image - imageHeaders.size();
    return HttpReply(200, FileBody("file-soak-" + std::to_string(++issued), "frame.jpg", "image/jpeg"),
                     kJson);
}
