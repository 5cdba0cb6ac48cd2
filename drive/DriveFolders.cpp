// The "Orvanta" folder and its subfolders: found, or created when Drive's
// search says there is none, once per run, then cached.

#include "DriveSession.h"

#include "DriveText.h"

#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::json;

const char kBaseFolderName[] = "Orvanta";
const char kFolderMimeType[] = "application/vnd.google-apps.folder";
const char kBaseFolderQuery[] =
    "name='Orvanta' and mimeType='application/vnd.google-apps.folder' and trashed=false";
const char kCreateBaseFolderBody[] =
    "{\"name\":\"Orvanta\",\"mimeType\":\"application/vnd.google-apps.folder\"}";

// The number of entries of a files.list answer's "files" list; -1 when the
// answer is not such a list.
long ListedFiles(const std::string& body)
{
    const json parsed = json::parse(body, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object())
        return -1;
    const auto files = parsed.find("files");
    return files != parsed.end() && files->is_array() ? static_cast<long>(files->size()) : -1;
}

}  // namespace

std::string DriveSession::EnsureFolderExists(const std::string& subfolder,
                                             const std::atomic<bool>& cancel)
{
    // Held across the searches and the creations, network requests all: a
    // second caller waits for the first one's folder instead of creating another.
    std::lock_guard<std::mutex> folderLock(folderMutex);
    // A second round only when the cached base folder turned out to be gone.
    for (int round = 0; round < 2; ++round) {
        std::string base;
        {
            std::lock_guard<std::recursive_mutex> lock(tokenMutex);
            base = folderId;
            const auto cached = subfolderIds.find(subfolder);
            if (!base.empty() && (subfolder.empty() || cached != subfolderIds.end()))
                return subfolder.empty() ? base : cached->second;
        }
        const bool baseWasCached = !base.empty();
        if (!baseWasCached) {
            base = FindOrCreateFolder(kBaseFolderName, std::string(), cancel).id;
            if (base.empty())
                return {};
            std::lock_guard<std::recursive_mutex> lock(tokenMutex);
            folderId = base;
        }
        if (subfolder.empty())
            return base;
        const FolderSearch found = FindOrCreateFolder(subfolder, base, cancel);
        if (!found.id.empty()) {
            std::lock_guard<std::recursive_mutex> lock(tokenMutex);
            if (folderId == base)
                subfolderIds[subfolder] = found.id;
            return found.id;
        }
        if (!found.parentGone || !baseWasCached)
            return {};
        ForgetFolder(base);
    }
    return {};
}

DriveSession::FolderSearch DriveSession::FindOrCreateFolder(const std::string& name,
                                                            const std::string& parent,
                                                            const std::atomic<bool>& cancel)
{
    const bool isBase = parent.empty();
    const std::string bearer = BearerLine();
    const auto search = [&](const std::string& query) {
        return Request(endpoints.filesUrl + "?q=" + UrlEncode(query) + "&fields=files(id,name)",
                       nullptr, {bearer}, cancel);
    };
    const std::string query = isBase
        ? std::string(kBaseFolderQuery)
        : "name=" + QueryLiteral(name) + " and mimeType='" + kFolderMimeType
            + "' and trashed=false and " + QueryLiteral(parent) + " in parents";
    HttpResponse found = search(query);
    // A camera's subfolder may bear the base folder's name: the base folder
    // is the one at the top of My Drive.
    if (isBase && found.Succeeded() && ListedFiles(found.body) > 1)
        found = search(query + " and 'root' in parents");

    std::string id = found.Succeeded() ? ExtractFirstFileId(found.body) : std::string();
    if (!id.empty())
        return {id, false};
    // Only a search that Drive answered with an empty list says there is no
    // folder; after any other answer a new one could be a second.
    if (!found.Succeeded() || ListedFiles(found.body) != 0) {
        if (found.status == 401)
            ForgetAccessToken(bearer);
        DriveLog("[Drive] Folder search failed (%s)\n",
                 (FailureDetail(found) + (found.Succeeded() ? ", not a file list" : "")).c_str());
        return {std::string(), found.status == 404};
    }
    // No invalid UTF-8 in a name may make the metadata unreadable JSON.
    const std::string body = isBase
        ? std::string(kCreateBaseFolderBody)
        : json{{"name", name}, {"mimeType", kFolderMimeType}, {"parents", json::array({parent})}}
              .dump(-1, ' ', false, json::error_handler_t::replace);
    const HttpResponse created =
        Request(endpoints.filesUrl, &body, {bearer, "Content-Type: application/json"}, cancel);
    id = created.Succeeded() ? ExtractJsonField(created.body, "id") : std::string();
    if (id.empty()) {
        if (created.status == 401)
            ForgetAccessToken(bearer);
        DriveLog("[Drive] Folder creation failed (%s)\n", FailureDetail(created).c_str());
    }
    return {id, false};
}

void DriveSession::ForgetFolder(const std::string& folder)
{
    std::lock_guard<std::recursive_mutex> lock(tokenMutex);
    if (folderId == folder) {
        folderId.clear();
        subfolderIds.clear();
        return;
    }
    for (auto entry = subfolderIds.begin(); entry != subfolderIds.end();)
        entry = entry->second == folder ? subfolderIds.erase(entry) : std::next(entry);
}
