#include "FakeProvider.h"

#include "WireFormat.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>

namespace {

const char kScope[] = "https://www.googleapis.com/auth/drive.file";
const char kFolderQuery[] =
    "name='Orvanta' and mimeType='application/vnd.google-apps.folder' and trashed=false";
const char kFolderMime[] = "application/vnd.google-apps.folder";
const char kUnauthenticated[] =
    "{\n  \"error\": {\n    \"code\": 401,\n    \"message\": \"Request had invalid authentication "
    "credentials.\",\n    \"status\": \"UNAUTHENTICATED\"\n  }\n}\n";

std::string ErrorBody(const std::string& error, const std::string& description)
{
    return "{\n  \"error\": " + JsonQuote(error) + ",\n  \"error_description\": "
        + JsonQuote(description) + "\n}";
}

std::string DriveError(int code, const std::string& message)
{
    return "{\n  \"error\": {\n    \"code\": " + std::to_string(code) + ",\n    \"message\": "
        + JsonQuote(message) + "\n  }\n}\n";
}

std::string FileBody(const std::string& id, const std::string& name, const std::string& mime)
{
    return "{\n  \"kind\": \"drive#file\",\n  \"id\": " + JsonQuote(id) + ",\n  \"name\": "
        + JsonQuote(name) + ",\n  \"mimeType\": " + JsonQuote(mime) + "\n}\n";
}

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size()
        && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

const char FakeProvider::kClientId[] = "123456789012-fakeclientfortestsonly00000000.apps.example";
const char FakeProvider::kClientSecret[] = "FAKESC-not-a-real-secret/+&=";

std::vector<int> UploadedFile::RgbAt(int x, int y) const
{
    const size_t at = (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3;
    return {bgrPixels[at + 2], bgrPixels[at + 1], bgrPixels[at]};
}

FakeProvider::FakeProvider() = default;

FakeProvider::~FakeProvider()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    stopped.notify_all();
}

std::string FakeProvider::BaseUrl() const
{
    return "http://127.0.0.1:" + std::to_string(server.Port());
}

DriveEndpoints FakeProvider::Endpoints() const
{
    return {BaseUrl() + "/o/oauth2/v2/auth", BaseUrl() + "/token", BaseUrl() + "/drive/v3/files",
            BaseUrl() + "/upload/drive/v3/files", kScope};
}

DriveCredentials FakeProvider::Credentials() const
{
    return {kClientId, kClientSecret};
}

void FakeProvider::Script(Endpoint endpoint, Answer answer)
{
    std::lock_guard<std::mutex> lock(mutex);
    scripts[endpoint].push_back(std::move(answer));
}

void FakeProvider::SetConsent(bool grant)
{
    std::lock_guard<std::mutex> lock(mutex);
    grantConsent = grant;
}

std::string FakeProvider::AddRefreshToken()
{
    std::lock_guard<std::mutex> lock(mutex);
    const std::string token = NextId("1//fake-refresh-");
    refreshTokens.insert(token);
    return token;
}

std::string FakeProvider::AddAccessToken()
{
    std::lock_guard<std::mutex> lock(mutex);
    const std::string token = NextId("ya29.fake-access-");
    accessTokens.insert(token);
    return token;
}

std::string FakeProvider::AddFolder(const std::string& name)
{
    std::lock_guard<std::mutex> lock(mutex);
    const std::string id = NextId("folder-");
    folders.emplace_back(id, name);
    return id;
}

std::vector<RecordedRequest> FakeProvider::Requests() const
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<RecordedRequest> all;
    for (const auto& entry : log)
        all.push_back(entry.second);
    return all;
}

std::vector<RecordedRequest> FakeProvider::Requests(Endpoint endpoint) const
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<RecordedRequest> matching;
    for (const auto& entry : log)
        if (entry.first == endpoint)
            matching.push_back(entry.second);
    return matching;
}

size_t FakeProvider::Count(Endpoint endpoint) const
{
    return Requests(endpoint).size();
}

std::vector<UploadedFile> FakeProvider::Files() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return files;
}

std::string FakeProvider::LastRefusal() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return lastRefusal;
}

std::string FakeProvider::NextId(const std::string& prefix)
{
    return prefix + std::to_string(++counter);
}

HttpReply FakeProvider::Handle(const RecordedRequest& request)
{
    static const struct {
        const char* method;
        const char* path;
        Endpoint endpoint;
    } kRoutes[] = {{"GET", "/o/oauth2/v2/auth", Endpoint::Authorize},
                   {"POST", "/token", Endpoint::Token},
                   {"GET", "/drive/v3/files", Endpoint::Search},
                   {"POST", "/drive/v3/files", Endpoint::Create},
                   {"POST", "/upload/drive/v3/files", Endpoint::Upload}};
    const auto route = std::find_if(std::begin(kRoutes), std::end(kRoutes), [&](const auto& r) {
        return request.method == r.method && request.path == r.path;
    });
    if (route == std::end(kRoutes))
        return HttpReply{404};
    const Endpoint endpoint = route->endpoint;

    std::unique_lock<std::mutex> lock(mutex);
    log.emplace_back(endpoint, request);
    Answer answer;
    answer.ownAnswer = true;
    std::deque<Answer>& queue = scripts[endpoint];
    if (!queue.empty()) {
        answer = queue.front();
        queue.pop_front();
    }
    if (answer.hang)
        stopped.wait(lock, [this] { return stopping; });
    else if (answer.delay.count() > 0)
        stopped.wait_for(lock, answer.delay, [this] { return stopping; });
    // Going away: the server closes the connection unanswered.
    if (stopping)
        return HttpReply::Silent();

    if (!answer.ownAnswer)
        return HttpReply{answer.status, answer.body, answer.contentType};
    HttpReply reply;
    std::string location;
    switch (endpoint) {
    case Endpoint::Authorize: Authorize(request, reply.status, reply.body, location); break;
    case Endpoint::Token: Token(request, reply.status, reply.body); break;
    case Endpoint::Search: Search(request, reply.status, reply.body); break;
    case Endpoint::Create: Create(request, reply.status, reply.body); break;
    case Endpoint::Upload: Upload(request, reply.status, reply.body); break;
    }
    if (!location.empty())
        reply.headers = {{"Location", location}};
    else
        reply.contentType = endpoint == Endpoint::Authorize ? "text/html" : "application/json; charset=utf-8";
    return reply;
}

void FakeProvider::Authorize(const RecordedRequest& request, int& status, std::string& body,
                             std::string& location)
{
    const auto param = [&request](const char* name) {
        const auto it = request.params.find(name);
        return it == request.params.end() ? std::string() : it->second;
    };
    const std::string redirectUri = param("redirect_uri");
    std::string problem;
    if (param("client_id") != kClientId)
        problem = "unknown client";
    else if (param("response_type") != "code")
        problem = "response_type";
    else if (param("scope") != kScope)
        problem = "scope";
    else if (param("access_type") != "offline" || param("prompt") != "consent")
        problem = "access_type or prompt";
    else if (param("code_challenge_method") != "S256" || param("code_challenge").size() != 43)
        problem = "code challenge";
    else if (param("state").empty())
        problem = "state";
    else if (!StartsWith(redirectUri, "http://127.0.0.1:") || !EndsWith(redirectUri, "/oauth2callback"))
        problem = "redirect_uri";
    if (!problem.empty()) {
        lastRefusal = "authorization request: " + problem;
        status = 400;
        body = "<html><body>Error 400: invalid_request</body></html>";
        return;
    }
    status = 302;
    if (!grantConsent) {
        location = redirectUri + "?error=access_denied&state=" + FormEncode(param("state"));
        return;
    }
    const std::string code = NextId("4/0AfakeCode-");
    codes[code] = {param("code_challenge"), redirectUri};
    location = redirectUri + "?state=" + FormEncode(param("state")) + "&code=" + FormEncode(code)
        + "&scope=" + FormEncode(kScope);
}

void FakeProvider::Token(const RecordedRequest& request, int& status, std::string& body)
{
    const auto form = ParseForm(request.body);
    if (request.Header("Content-Type") != "application/x-www-form-urlencoded") {
        lastRefusal = "token request content type";
        status = 400;
        body = ErrorBody("invalid_request", "Bad content type");
        return;
    }
    if (FormValue(form, "client_id") != kClientId || FormValue(form, "client_secret") != kClientSecret) {
        lastRefusal = "token request client";
        status = 401;
        body = ErrorBody("invalid_client", "Unauthorized");
        return;
    }
    const std::string grant = FormValue(form, "grant_type");
    if (grant == "authorization_code") {
        const auto issued = codes.find(FormValue(form, "code"));
        if (issued == codes.end()) {
            lastRefusal = "unknown or used code";
            status = 400;
            body = ErrorBody("invalid_grant", "Malformed auth code.");
            return;
        }
        const IssuedCode code = issued->second;
        codes.erase(issued);
        if (FormValue(form, "redirect_uri") != code.redirectUri) {
            lastRefusal = "redirect_uri differs from the authorization request";
            status = 400;
            body = ErrorBody("redirect_uri_mismatch", "Bad Request");
            return;
        }
        if (S256(FormValue(form, "code_verifier")) != code.challenge) {
            lastRefusal = "code verifier does not match the challenge";
            status = 400;
            body = ErrorBody("invalid_grant", "Invalid code verifier.");
            return;
        }
        const std::string access = NextId("ya29.fake-access-");
        accessTokens.insert(access);
        const std::string refresh = NextId("1//fake-refresh-");
        refreshTokens.insert(refresh);
        body = "{\n  \"access_token\": " + JsonQuote(access) + ",\n  \"expires_in\": 3599,\n"
            + "  \"refresh_token\": " + JsonQuote(refresh) + ",\n"
            + "  \"scope\": \"" + std::string(kScope) + "\",\n  \"token_type\": \"Bearer\"\n}";
        return;
    }
    if (grant == "refresh_token") {
        if (refreshTokens.count(FormValue(form, "refresh_token")) == 0) {
            lastRefusal = "unknown refresh token";
            status = 400;
            body = ErrorBody("invalid_grant", "Token has been expired or revoked.");
            return;
        }
        const std::string access = NextId("ya29.fake-access-");
        accessTokens.insert(access);
        body = "{\n  \"access_token\": " + JsonQuote(access)
            + ",\n  \"expires_in\": 3599,\n  \"scope\": \"" + kScope
            + "\",\n  \"token_type\": \"Bearer\"\n}";
        return;
    }
    lastRefusal = "grant type";
    status = 400;
    body = ErrorBody("unsupported_grant_type", "Invalid grant_type: " + grant);
}

bool FakeProvider::Authorized(const RecordedRequest& request, int& status, std::string& body)
{
    const std::string header = request.Header("Authorization");
    const std::string prefix = "Bearer ";
    if (StartsWith(header, prefix) && accessTokens.count(header.substr(prefix.size())) != 0)
        return true;
    lastRefusal = "bearer token";
    status = 401;
    body = kUnauthenticated;
    return false;
}

void FakeProvider::Search(const RecordedRequest& request, int& status, std::string& body)
{
    if (!Authorized(request, status, body))
        return;
    const auto q = request.params.find("q");
    const auto fields = request.params.find("fields");
    if (q == request.params.end() || q->second != kFolderQuery || fields == request.params.end()
        || fields->second != "files(id,name)") {
        lastRefusal = "search query";
        status = 400;
        body = DriveError(400, "Invalid Value");
        return;
    }
    std::string list;
    for (const auto& folder : folders) {
        if (folder.second != "Orvanta")
            continue;
        list += std::string(list.empty() ? "" : ",") + "\n    {\n      \"id\": " + JsonQuote(folder.first)
            + ",\n      \"name\": " + JsonQuote(folder.second) + "\n    }";
    }
    body = "{\n  \"files\": [" + list + (list.empty() ? "" : "\n  ") + "]\n}\n";
}

void FakeProvider::Create(const RecordedRequest& request, int& status, std::string& body)
{
    if (!Authorized(request, status, body))
        return;
    std::map<std::string, std::vector<std::string>> metadata;
    if (!StartsWith(request.Header("Content-Type"), "application/json")
        || !ParseFlatJsonObject(request.body, metadata) || metadata["name"].size() != 1
        || metadata["mimeType"] != std::vector<std::string>{kFolderMime}) {
        lastRefusal = "folder creation body";
        status = 400;
        body = DriveError(400, "Invalid metadata");
        return;
    }
    const std::string id = NextId("folder-");
    folders.emplace_back(id, metadata["name"][0]);
    body = FileBody(id, metadata["name"][0], kFolderMime);
}

void FakeProvider::Upload(const RecordedRequest& request, int& status, std::string& body)
{
    if (!Authorized(request, status, body))
        return;
    const auto badRequest = [&](const std::string& why) {
        lastRefusal = "upload: " + why;
        status = 400;
        body = DriveError(400, "Malformed multipart body");
    };
    const auto uploadType = request.params.find("uploadType");
    if (uploadType == request.params.end() || uploadType->second != "multipart")
        return badRequest("uploadType");
    const std::string contentType = request.Header("Content-Type");
    const std::string marker = "multipart/related; boundary=";
    if (!StartsWith(contentType, marker))
        return badRequest("content type");
    const std::string boundary = contentType.substr(marker.size());

    // RFC 2046: every delimiter is CRLF "--" boundary; the first CRLF may be
    // missing at the very start of the body.
    const std::string data = "\r\n" + request.body;
    const std::string delimiter = "\r\n--" + boundary;
    std::vector<std::string> parts;
    size_t pos = data.find(delimiter);
    if (pos != 0)
        return badRequest("body does not open with the delimiter");
    bool closed = false;
    while (!closed) {
        pos += delimiter.size();
        if (data.compare(pos, 2, "--") == 0) {
            closed = true;
            break;
        }
        if (data.compare(pos, 2, "\r\n") != 0)
            return badRequest("delimiter not followed by a line end");
        const size_t next = data.find(delimiter, pos);
        if (next == std::string::npos)
            return badRequest("missing closing delimiter");
        parts.push_back(data.substr(pos + 2, next - pos - 2));
        pos = next;
    }
    if (parts.size() != 2)
        return badRequest("expected two parts");
    const auto split = [](const std::string& part, std::string& headers, std::string& content) {
        const size_t end = part.find("\r\n\r\n");
        if (end == std::string::npos)
            return false;
        headers = part.substr(0, end);
        content = part.substr(end + 4);
        return true;
    };
    std::string metaHeaders, metaJson, imageHeaders, jpeg;
    if (!split(parts[0], metaHeaders, metaJson) || !split(parts[1], imageHeaders, jpeg))
        return badRequest("part without headers");
    if (metaHeaders != "Content-Type: application/json; charset=UTF-8"
        || imageHeaders != "Content-Type: image/jpeg")
        return badRequest("part content types");
    std::map<std::string, std::vector<std::string>> metadata;
    if (!ParseFlatJsonObject(metaJson, metadata) || metadata["name"].size() != 1)
        return badRequest("metadata");
    for (const std::string& parent : metadata["parents"]) {
        const bool known = std::any_of(folders.begin(), folders.end(),
                                       [&parent](const auto& f) { return f.first == parent; });
        if (!known) {
            lastRefusal = "upload: unknown parent";
            status = 404;
            body = DriveError(404, "File not found: " + parent + ".");
            return;
        }
    }
    const cv::Mat image = cv::imdecode(std::vector<uint8_t>(jpeg.begin(), jpeg.end()), cv::IMREAD_COLOR);
    if (image.empty() || !StartsWith(jpeg, "\xFF\xD8"))
        return badRequest("image is not a JPEG");

    UploadedFile file;
    file.id = NextId("file-");
    file.name = metadata["name"][0];
    file.parents = metadata["parents"];
    file.metadataJson = metaJson;
    file.width = image.cols;
    file.height = image.rows;
    file.bgrPixels.assign(image.data, image.data + image.total() * 3);
    files.push_back(file);
    body = FileBody(file.id, file.name, "image/jpeg");
}
