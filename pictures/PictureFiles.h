#pragma once

// The picture folder on disk: picture names, whole-file writes under a
// temporary name, moves, listings and the small state file. No threads and no
// locks here; every call may block on the disk.

#include <cstdint>
#include <ctime>
#include <set>
#include <string>
#include <vector>

namespace pictures {

// One owner for one file descriptor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const { return fd; }
    explicit operator bool() const { return fd >= 0; }
    int Release();
    void Reset(int newFd = -1);

private:
    int fd = -1;
};

// motion_YYYYMMDD_HHMMSS.jpg, the name Keep() is given and Drive knows.
bool IsBaseName(const std::string& name);
// A base name, or one with _N (N >= 2) before .jpg: a picture of ours.
bool IsPictureName(const std::string& name);
// The base name of a picture name (its _N removed).
std::string DriveName(const std::string& pictureName);
// The base name for number 1, base_N.jpg for the others.
std::string NumberedName(const std::string& baseName, int number);

struct PictureFile {
    std::string name;
    timespec modified{};
    uint64_t bytes = 0;
};

// Taken earlier: older modification time, then name.
bool TakenBefore(const PictureFile& a, const PictureFile& b);

// Our pictures in `dir` (regular files with picture names); none when it
// cannot be read.
std::vector<PictureFile> ListPictures(const std::string& dir);

std::string PendingDir(const std::string& folder);

// Creates `folder` (its last component only, mode 0700) where it is missing,
// and with `withPending` its pending/ folder. 0 or an errno value.
int EnsureFolder(const std::string& folder, bool withPending);

struct WriteResult {
    int error = 0;     // errno value; 0 on success
    PictureFile file;  // as it now lies on disk
};

// Writes `bytes` into `dir` under a temporary name, fsyncs it and renames it to
// the first of baseName, baseName_2, ... that is free both in `dir` and in
// `otherDir` (empty: no other), then fsyncs `dir`. `modified`, when given,
// becomes the file's modification time.
WriteResult WritePicture(const std::string& dir, const std::string& otherDir,
                         const std::string& baseName, const std::vector<uint8_t>& bytes,
                         const timespec* modified = nullptr);

// Moves dir/name into `toDir` under the first free numbered name of its base
// name (free in `toDir` and `otherDir`): a rename, or across file systems a
// copy (fsynced, same modification time) and an unlink.
WriteResult MovePicture(const std::string& fromDir, const std::string& name,
                        const std::string& toDir, const std::string& otherDir);

// The whole file, or an errno value (ENOENT: someone removed it).
int ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes);

// Removes the temporaries a writer left when it died: those of processes that
// no longer run, and any untouched for ten minutes.
void RemoveStaleTemporaries(const std::string& dir);

// What only the folder's files cannot tell: which kept pictures Drive holds,
// and which waiting ones may already be there.
struct DeliveryState {
    std::set<std::string> delivered;  // names in the folder itself
    std::set<std::string> lookUp;     // names in pending/
};

// A missing or garbled file reads as nothing known.
DeliveryState LoadState(const std::string& folder);
// Temporary name, fsync, rename. 0 or an errno value.
int SaveState(const std::string& folder, const DeliveryState& state);

}  // namespace pictures
