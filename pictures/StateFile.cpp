#include "StateFile.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace pictures {

namespace {

constexpr char kSnapshotName[] = ".orvanta-pictures.json";
constexpr char kJournalName[] = ".orvanta-pictures.journal";
// Below this the journal is never rewritten: a few thousand changes.
constexpr uint64_t kJournalFloorBytes = 64 * 1024;

const char* Prefix(MarkChange change)
{
    switch (change) {
    case MarkChange::Delivered:
        return "+d ";
    case MarkChange::Forgotten:
        return "-d ";
    case MarkChange::LookUp:
        return "+l ";
    case MarkChange::LookedUp:
        return "-l ";
    }
    return "";
}

bool ValidPath(const std::string& path)
{
    std::string camera;
    std::string name;
    return SplitStatePath(path, camera, name);
}

// Applies the journal's whole lines in `text` to `marks`; returns how many
// bytes they took (a line cut short by a crash or a writer still writing is
// left for later).
std::size_t ApplyLines(const std::string& text, DeliveryMarks& marks)
{
    std::size_t from = 0;
    for (std::size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1) {
        const std::string line = text.substr(from, end - from);
        if (line.size() < 4 || (line[0] != '+' && line[0] != '-') || (line[1] != 'd' && line[1] != 'l')
            || line[2] != ' ' || !ValidPath(line.substr(3)))
            continue;
        const std::string path = line.substr(3);
        std::set<std::string>& names = line[1] == 'd' ? marks.delivered : marks.lookUp;
        if (line[0] == '+')
            names.insert(path);
        else
            names.erase(path);
    }
    return from;
}

int ReadFrom(int fd, uint64_t offset, std::string& text)
{
    struct stat info {};
    if (fstat(fd, &info) != 0)
        return errno;
    const uint64_t size = static_cast<uint64_t>(info.st_size);
    text.assign(size > offset ? size - offset : 0, '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t got = pread(fd, &text[done], text.size() - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    text.resize(done);
    return 0;
}

int AppendText(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return errno;
        done += static_cast<std::size_t>(written);
    }
    return fdatasync(fd) == 0 ? 0 : errno;
}

void ReadSnapshot(const std::string& folder, DeliveryMarks& marks)
{
    std::vector<uint8_t> bytes;
    if (ReadWholeFile(folder + "/" + kSnapshotName, bytes) != 0)
        return;
    const nlohmann::json json = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (json.is_discarded() || !json.is_object())
        return;
    const auto readPaths = [&json](const char* key, std::set<std::string>& paths) {
        const auto found = json.find(key);
        if (found == json.end() || !found->is_array())
            return;
        for (const nlohmann::json& item : *found) {
            if (item.is_string() && ValidPath(item.get<std::string>()))
                paths.insert(item.get<std::string>());
        }
    };
    readPaths("delivered", marks.delivered);
    readPaths("lookUp", marks.lookUp);
}

// Held while the journal is read whole or emptied, and by PlaceWithLookUp.
class JournalLock {
public:
    explicit JournalLock(int fd) : fd(fd)
    {
        while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~JournalLock() { flock(fd, LOCK_UN); }
    JournalLock(const JournalLock&) = delete;
    JournalLock& operator=(const JournalLock&) = delete;

private:
    int fd;
};

// None (errno set) unless it is a regular file.
UniqueFd OpenJournal(const std::string& folder)
{
    UniqueFd fd(open((folder + "/" + kJournalName).c_str(),
                     O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600));
    struct stat info {};
    if (fd && (fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))) {
        fd.Reset();
        errno = EINVAL;
    }
    return fd;
}

}  // namespace

StateFile StateFile::Open(const std::string& folder, DeliveryMarks& marks)
{
    StateFile state;
    state.folder = folder;
    state.journal = OpenJournal(folder);
    if (!state.journal) {
        ReadSnapshot(folder, marks);
        return state;
    }
    const JournalLock lock(state.journal.Get());
    ReadSnapshot(folder, marks);
    std::string text;
    ReadFrom(state.journal.Get(), 0, text);
    state.readOffset = ApplyLines(text, marks);
    state.journalBytes = text.size();
    return state;
}

int StateFile::Append(const MarkChanges& changes)
{
    if (!journal || changes.empty())
        return 0;
    std::string text;
    for (const auto& [change, path] : changes)
        text += Prefix(change) + path + "\n";
    journalBytes += text.size();
    return AppendText(journal.Get(), text);
}

std::vector<std::string> StateFile::NewLookUps()
{
    std::vector<std::string> found;
    std::string text;
    if (!journal || ReadFrom(journal.Get(), readOffset, text) != 0)
        return found;
    DeliveryMarks added;
    readOffset += ApplyLines(text, added);
    // Only additions count: removals in the journal are this instance's own
    // and already known.
    found.assign(added.lookUp.begin(), added.lookUp.end());
    return found;
}

bool StateFile::IsDue() const
{
    return journal && journalBytes > std::max(kJournalFloorBytes, snapshotBytes);
}

int StateFile::Rewrite(const DeliveryMarks& marks)
{
    if (!journal)
        return 0;
    nlohmann::json json = nlohmann::json::object();
    json["delivered"] = marks.delivered;
    json["lookUp"] = marks.lookUp;
    const std::string snapshot = json.dump(1) + "\n";

    const JournalLock lock(journal.Get());
    std::string tail;
    ReadFrom(journal.Get(), readOffset, tail);
    DeliveryMarks unread;
    ApplyLines(tail, unread);
    if (const int error = ReplaceFile(folder, kSnapshotName, snapshot)) {
        // Tried again once the journal has doubled, not at every rescan.
        snapshotBytes = journalBytes;
        return error;
    }
    snapshotBytes = snapshot.size();
    if (ftruncate(journal.Get(), 0) != 0)
        return errno;
    std::string kept;
    for (const std::string& path : unread.lookUp)
        kept += std::string(Prefix(MarkChange::LookUp)) + path + "\n";
    readOffset = 0;
    journalBytes = kept.size();
    return kept.empty() ? 0 : AppendText(journal.Get(), kept);
}

WriteResult PlaceWithLookUp(const std::string& folder, const std::string& camera, bool lookUp,
                            const std::function<WriteResult()>& place)
{
    if (!lookUp)
        return place();
    const UniqueFd journal = OpenJournal(folder);
    if (!journal)
        return WriteResult{errno, {}};
    const JournalLock lock(journal.Get());
    WriteResult placed = place();
    if (placed.error == 0) {
        // The picture is there either way; a mark that could not be written
        // costs at most one duplicate in Drive.
        AppendText(journal.Get(), std::string(Prefix(MarkChange::LookUp))
                                      + StatePath(camera, placed.file.name) + "\n");
    }
    return placed;
}

}  // namespace pictures
