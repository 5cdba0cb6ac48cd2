// Folder lookup and multipart upload of one frame.

#include "DriveSession.h"
#include "GoogleDriveUploader.h"

#include <turbojpeg.h>

#include <memory>
#include <mutex>
#include <type_traits>

namespace {

const char kBoundary[] = "orvanta_7f3a9c";
const char kFolderQuery[] =
    "name='Orvanta' and mimeType='application/vnd.google-apps.folder' and trashed=false";
const char kCreateFolderBody[] =
    "{\"name\":\"Orvanta\",\"mimeType\":\"application/vnd.google-apps.folder\"}";
constexpr int kJpegQuality = 85;

struct TurboJpegCloser {
    void operator()(tjhandle handle) const { tjDestroy(handle); }
};
using TurboJpegHandle = std::unique_ptr<std::remove_pointer_t<tjhandle>, TurboJpegCloser>;

struct TurboJpegBufferFree {
    void operator()(unsigned char* buffer) const { tjFree(buffer); }
};

// False when the frame is not width x height RGB pixels. Each call has its own
// compressor, since uploads run on threads of their own.
bool EncodeJpeg(const std::vector<uint8_t>& rgb, int width, int height, std::vector<uint8_t>& jpeg)
{
    if (width <= 0 || height <= 0
        || rgb.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * 3)
        return false;
    const TurboJpegHandle compressor(tjInitCompress());
    if (!compressor)
        return false;
    // The library sizes its own output buffer; the vector then gets only the
    // bytes written, not the worst case.
    unsigned char* out = nullptr;
    unsigned long size = 0;
    const int result = tjCompress2(compressor.get(), rgb.data(), width, 0, height, TJPF_RGB, &out, &size,
                                   TJSAMP_420, kJpegQuality, 0);
    const std::unique_ptr<unsigned char, TurboJpegBufferFree> owned(out);
    if (result != 0 || out == nullptr)
        return false;
    jpeg.assign(out, out + size);
    return true;
}

std::string MetadataJson(const std::string& fileName, const std::string& folderId)
{
    std::string json = "{\"name\":\"";
    for (const char c : fileName) {
        if (c == '\\' || c == '"')
            json += '\\';
        json += c;
    }
    json += '"';
    if (!folderId.empty())
        json += ",\"parents\":[\"" + folderId + "\"]";
    json += '}';
    return json;
}

void Append(std::vector<uint8_t>& body, const std::string& text)
{
    body.insert(body.end(), text.begin(), text.end());
}

}  // namespace

void DriveSession::RunUpload(const std::vector<uint8_t>& rgb, int width, int height,
                             const std::string& fileName, const CompletionCallback& onDone)
{
    std::vector<uint8_t> jpeg;
    if (!EncodeJpeg(rgb, width, height, jpeg)) {
        onDone(false, "JPEG encoding failed");
        return;
    }
    if (!EnsureValidToken()) {
        onDone(false, "Not authenticated with Google Drive");
        return;
    }
    const std::string folder = EnsureFolderExists();
    const bool ok = UploadMultipart(jpeg, fileName, folder);
    DriveLog("[Drive] %s — %s (folderId=%s)\n", fileName.c_str(), ok ? "OK" : "FAILED",
             folder.empty() ? "root!" : folder.c_str());
    if (!ok && !folder.empty()) {
        // Search again next time, unless another upload has meanwhile cached
        // a different folder.
        std::lock_guard<std::recursive_mutex> lock(tokenMutex);
        if (folderId == folder)
            folderId.clear();
    }
    if (ok)
        onDone(true, "Frame uploaded to Google Drive");
    else
        onDone(false, "Google Drive upload failed");
}

std::string DriveSession::EnsureFolderExists()
{
    {
        std::lock_guard<std::recursive_mutex> lock(tokenMutex);
        if (!folderId.empty())
            return folderId;
    }
    using U = GoogleDriveUploader;
    const std::string bearer = BearerLine();
    const std::string searchUrl =
        endpoints.filesUrl + "?q=" + U::UrlEncode(kFolderQuery) + "&fields=files(id,name)";
    std::string id = U::ExtractFirstFileId(Request(searchUrl, nullptr, {bearer}).body);
    if (id.empty()) {
        const std::string body = kCreateFolderBody;
        id = U::ExtractJsonField(
            Request(endpoints.filesUrl, &body, {bearer, "Content-Type: application/json"}).body, "id");
    }
    if (!id.empty()) {
        std::lock_guard<std::recursive_mutex> lock(tokenMutex);
        folderId = id;
    }
    return id;
}

bool DriveSession::UploadMultipart(const std::vector<uint8_t>& jpeg, const std::string& fileName,
                                   const std::string& folder)
{
    const std::string delimiter = std::string("--") + kBoundary + "\r\n";
    std::vector<uint8_t> body;
    body.reserve(jpeg.size() + 256 + fileName.size());
    Append(body, delimiter);
    Append(body, "Content-Type: application/json; charset=UTF-8\r\n\r\n");
    Append(body, MetadataJson(fileName, folder) + "\r\n");
    Append(body, delimiter);
    Append(body, "Content-Type: image/jpeg\r\n\r\n");
    body.insert(body.end(), jpeg.begin(), jpeg.end());
    Append(body, std::string("\r\n--") + kBoundary + "--");

    const std::vector<std::string> headerLines = {
        std::string("Content-Type: multipart/related; boundary=") + kBoundary, BearerLine()};
    const HttpResponse response =
        PerformHttpRequest(endpoints.uploadUrl + "?uploadType=multipart", body.data(), body.size(),
                           headerLines, timings.uploadTimeout, &shuttingDown);
    return response.transferred
        && !GoogleDriveUploader::ExtractJsonField(response.body, "id").empty();
}
