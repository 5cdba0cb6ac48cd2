// The user's own OAuth client: the JSON file that Google's console downloads
// for a client of type "Desktop app".

#include "DriveClientFile.h"

#include "UniqueFd.h"
#include "UserFolders.h"

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

using json = nlohmann::json;

// A console download is well under 1 KiB; anything this big is not one.
constexpr size_t kMaxClientFileBytes = 64 * 1024;

}  // namespace

std::string DefaultClientFilePath()
{
    return ConfigFolder() + "/Orvanta/google-oauth-client.json";
}

ClientFileResult ReadClientFile(const std::string& path)
{
    ClientFileResult result;
    // Without blocking: a FIFO at the path would otherwise wait for a writer forever.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0 && (errno == ENOENT || errno == ENOTDIR)) {
        result.kind = ClientFileResult::Kind::Missing;
        return result;
    }
    result.kind = ClientFileResult::Kind::Invalid;
    const std::string prefix = "OAuth client file " + path;

    struct stat info;
    if (fd.Get() < 0 || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        result.problem = prefix + " could not be read";
        return result;
    }
    // One byte past the cap tells an oversized file from one at the cap.
    std::string text(kMaxClientFileBytes + 1, '\0');
    size_t filled = 0;
    while (filled < text.size()) {
        const ssize_t n = ::read(fd.Get(), &text[filled], text.size() - filled);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result.problem = prefix + " could not be read";
            return result;
        }
        if (n == 0)
            break;
        filled += static_cast<size_t>(n);
    }
    text.resize(filled);
    if (text.size() > kMaxClientFileBytes) {
        result.problem = prefix + " is larger than 64 KiB";
        return result;
    }

    // Strict RFC 8259: invalid UTF-8 and lone surrogates in strings are errors too.
    const json parsed = json::parse(text, nullptr, false);
    if (parsed.is_discarded()) {
        result.problem = prefix + " is not valid JSON";
        return result;
    }
    const auto installed = parsed.is_object() ? parsed.find("installed") : parsed.end();
    if (installed == parsed.end() || !installed->is_object()) {
        result.problem = prefix + " is not for a client of type \"Desktop app\"";
        return result;
    }
    const auto stringMember = [&installed](const char* name) {
        const auto member = installed->find(name);
        return member != installed->end() && member->is_string() ? member->get<std::string>()
                                                                  : std::string();
    };
    const std::string id = stringMember("client_id");
    const std::string secret = stringMember("client_secret");
    if (id.empty() || secret.empty()) {
        result.problem = prefix + " lacks \"client_id\" or \"client_secret\"";
        return result;
    }
    result.kind = ClientFileResult::Kind::Loaded;
    result.credentials = {id, secret};
    return result;
}
