// The look-up of a picture sent before, and the multipart upload of one JPEG
// with its outcome read from Drive's answer.

#include "DriveSession.h"

#include "DriveText.h"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <cstdio>

namespace {

using json = nlohmann::json;

const char kBoundary[] = "orvanta_7f3a9c";

const char kStoredText[] = "Frame uploaded to Google Drive";
const char kUnreachableText[] = "Google Drive could not be reached: pictures wait on this computer";
const char kSlowDownText[] = "Google Drive asks to slow down: pictures wait on this computer";
const char kNotTakenText[] = "Google Drive did not take the picture: pictures wait on this computer";
const char kTokenRefusedText[] =
    "Google Drive did not accept the access token: pictures wait on this computer";
const char kFolderGoneText[] = " folder is gone from Google Drive: pictures wait on this computer";
const char kDriveFullText[] = "Google Drive is full: pictures wait on this computer";
const char kNotAuthorizedText[] = "Not connected to Google Drive: pictures wait on this computer";
const char kCancelledText[] = "Upload to Google Drive cancelled";

struct DriveError {
    std::string reason;   // the first of "errors", e.g. "storageQuotaExceeded"
    std::string message;  // for people
};

std::string StringMember(const json& object, const char* name)
{
    const auto member = object.find(name);
    return member != object.end() && member->is_string() ? member->get<std::string>() : std::string();
}

// Drive's error body: {"error":{"code":403,"errors":[{"reason":...,"message":...}],"message":...}}.
DriveError ParseDriveError(const std::string& body)
{
    DriveError error;
    const json parsed = json::parse(body, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object())
        return error;
    const auto inner = parsed.find("error");
    if (inner == parsed.end() || !inner->is_object())
        return error;
    error.message = StringMember(*inner, "message");
    const auto errors = inner->find("errors");
    if (errors != inner->end() && errors->is_array() && !errors->empty()
        && errors->front().is_object()) {
        error.reason = StringMember(errors->front(), "reason");
        if (error.message.empty())
            error.message = StringMember(errors->front(), "message");
    }
    return error;
}

std::string Md5Hex(const std::vector<uint8_t>& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr) != 1)
        return {};
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

void Append(std::vector<uint8_t>& body, const std::string& text)
{
    body.insert(body.end(), text.begin(), text.end());
}

// One log line per failed attempt; never a token in it.
UploadResult Failed(const std::string& fileName, UploadOutcome outcome, const std::string& why,
                    std::string message)
{
    DriveLog("[Drive] %s — FAILED (%s)\n", fileName.c_str(), why.c_str());
    return {outcome, std::move(message)};
}

UploadResult Cancelled(const std::string& fileName)
{
    return Failed(fileName, UploadOutcome::Cancelled, "cancelled", kCancelledText);
}

UploadResult Unconfirmed(const std::string& fileName, const std::string& why)
{
    return Failed(fileName, UploadOutcome::Unknown, why,
                  "Google Drive did not confirm " + fileName
                      + ": it is looked up before it is sent again");
}

}  // namespace

UploadResult DriveSession::UploadJpeg(const std::vector<uint8_t>& jpeg, const std::string& fileName,
                                      const std::string& subfolder, bool lookUpFirst,
                                      const std::atomic<bool>& cancel)
{
    const auto stopping = [this, &cancel] { return cancel.load() || shuttingDown.load(); };

    if (stopping())
        return Cancelled(fileName);
    if (!EnsureValidToken(cancel)) {
        if (stopping())
            return Cancelled(fileName);
        if (!IsAuthenticated())
            return Failed(fileName, UploadOutcome::NotAuthorized, "not authenticated", kNotAuthorizedText);
        return Failed(fileName, UploadOutcome::NotSent, "no access token", kUnreachableText);
    }
    const std::string folder = EnsureFolderExists(subfolder, cancel);
    if (folder.empty()) {
        if (stopping())
            return Cancelled(fileName);
        return Failed(fileName, UploadOutcome::NotSent, "no folder", kUnreachableText);
    }
    const std::string bearer = BearerLine();

    if (lookUpFirst) {
        // The answer to an earlier attempt was lost: Drive may hold the picture.
        const std::string query = QueryLiteral(folder) + " in parents and name="
            + QueryLiteral(fileName) + " and trashed=false";
        const std::string url = endpoints.filesUrl + "?q=" + UrlEncode(query)
            + "&fields=" + UrlEncode("files(id,md5Checksum)");
        const HttpResponse found = Request(url, nullptr, {bearer}, cancel);
        const json listed = json::parse(found.body, nullptr, false);
        const auto files = listed.is_object() ? listed.find("files") : listed.end();
        if (!found.Succeeded() || files == listed.end() || !files->is_array()) {
            if (stopping() && !found.Transferred())
                return Cancelled(fileName);
            if (found.status == 401)
                ForgetAccessToken(bearer);
            else if (found.status == 404)
                ForgetFolder(folder);
            return Failed(fileName, UploadOutcome::NotSent, "look-up: " + FailureDetail(found),
                          kUnreachableText);
        }
        const std::string md5 = Md5Hex(jpeg);
        for (const json& file : *files) {
            if (file.is_object() && !md5.empty() && StringMember(file, "md5Checksum") == md5) {
                DriveLog("[Drive] %s — OK, already stored (folderId=%s)\n", fileName.c_str(),
                         folder.c_str());
                return {UploadOutcome::Stored, kStoredText};
            }
        }
    }
    if (stopping())
        return Cancelled(fileName);

    const HttpResponse response = UploadMultipart(jpeg, fileName, folder, bearer, cancel);
    if (!response.Transferred()) {
        // Once some of the body has left, Drive may have stored the picture.
        if (response.bodySent)
            return Unconfirmed(fileName, FailureDetail(response));
        if (stopping())
            return Cancelled(fileName);
        return Failed(fileName, UploadOutcome::NotSent, FailureDetail(response), kUnreachableText);
    }
    return Classify(response, fileName, folder, subfolder.empty() ? "Orvanta" : "Orvanta/" + subfolder,
                    bearer);
}

UploadResult DriveSession::Classify(const HttpResponse& response, const std::string& fileName,
                                    const std::string& folder, const std::string& folderPath,
                                    const std::string& bearerLine)
{
    const long status = response.status;
    const std::string detail = FailureDetail(response);
    if (status >= 200 && status < 300) {
        const std::string id = ExtractJsonField(response.body, "id");
        if (id.empty())
            return Unconfirmed(fileName, detail + " without a file id");
        DriveLog("[Drive] %s — OK (folderId=%s)\n", fileName.c_str(), folder.c_str());
        return {UploadOutcome::Stored, kStoredText};
    }
    const DriveError error = ParseDriveError(response.body);
    const std::string why = error.reason.empty() ? detail : detail + " " + error.reason;
    if (status >= 500 || status < 400)
        return Unconfirmed(fileName, why);
    if (status == 429 || (status == 403
                          && (error.reason == "rateLimitExceeded"
                              || error.reason == "userRateLimitExceeded")))
        return Failed(fileName, UploadOutcome::NotSent, why, kSlowDownText);
    if (status == 403 && error.reason == "storageQuotaExceeded")
        return Failed(fileName, UploadOutcome::DriveFull, why, kDriveFullText);
    if (status == 403)
        return Failed(fileName, UploadOutcome::NotSent, why, kNotTakenText);
    if (status == 401) {
        ForgetAccessToken(bearerLine);
        return Failed(fileName, UploadOutcome::NotSent, why, kTokenRefusedText);
    }
    if (status == 404) {
        ForgetFolder(folder);
        return Failed(fileName, UploadOutcome::NotSent, why, "The " + folderPath + kFolderGoneText);
    }
    return Failed(fileName, UploadOutcome::Refused, why,
                  "Google Drive refused " + fileName + ": "
                      + (error.message.empty() ? detail : error.message));
}

void DriveSession::ForgetAccessToken(const std::string& bearerLine)
{
    std::lock_guard<std::recursive_mutex> lock(tokenMutex);
    if (BearerLine() == bearerLine) {
        accessToken.clear();
        tokenExpiry = 0;
    }
}

HttpResponse DriveSession::UploadMultipart(const std::vector<uint8_t>& jpeg,
                                           const std::string& fileName, const std::string& folder,
                                           const std::string& bearerLine,
                                           const std::atomic<bool>& cancel) const
{
    // No invalid UTF-8 in a name may make the metadata unreadable JSON.
    const std::string metadata =
        json{{"name", fileName}, {"parents", json::array({folder})}}
            .dump(-1, ' ', false, json::error_handler_t::replace);
    const std::string delimiter = std::string("--") + kBoundary + "\r\n";
    std::vector<uint8_t> body;
    body.reserve(jpeg.size() + 256 + fileName.size());
    Append(body, delimiter);
    Append(body, "Content-Type: application/json; charset=UTF-8\r\n\r\n");
    Append(body, metadata + "\r\n");
    Append(body, delimiter);
    Append(body, "Content-Type: image/jpeg\r\n\r\n");
    body.insert(body.end(), jpeg.begin(), jpeg.end());
    Append(body, std::string("\r\n--") + kBoundary + "--");

    const std::vector<std::string> headerLines = {
        std::string("Content-Type: multipart/related; boundary=") + kBoundary, bearerLine};
    return PerformHttpRequest(endpoints.uploadUrl + "?uploadType=multipart", body.data(),
                              body.size(), headerLines, timings.uploadTimeout, &shuttingDown,
                              &cancel);
}
