#pragma once

// The picture folder on disk: picture and camera folder names, whole-file
// writes under a temporary name, moves and listings. No threads and no locks
// here; every call may block on the disk.
//
// The tree: <folder>/ keeps the base camera's pictures and <folder>/pending/
// those waiting for Drive; each other camera has the same two in
// <folder>/<camera>/.

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace pictures {

// motion_YYYYMMDD_HHMMSS.jpg, the name Keep() is given and Drive knows.
bool IsBaseName(const std::string& name);
// A base name, or one with _N (N >= 2) before .jpg: a picture of ours.
bool IsPictureName(const std::string& name);
// The base name of a picture name (its _N removed).
std::string DriveName(const std::string& pictureName);
// The base name for number 1, base_N.jpg for the others.
std::string NumberedName(const std::string& baseName, int number);

// A camera's subfolder: one plain path component (no "/", no NUL, at most
// 255 bytes) that is not hidden (no leading ".") and not "pending".
bool IsCameraName(const std::string& camera);

// <folder> for the base camera (""), <folder>/<camera> for the others.
std::string CameraDir(const std::string& folder, const std::string& camera);
std::string PendingDir(const std::string& dir);
// How the state file names a picture of a camera: [camera/]name.
std::string StatePath(const std::string& camera, const std::string& name);
// The camera and name of a state file's path; false when it names none.
bool SplitStatePath(const std::string& path, std::string& camera, std::string& name);

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
// The camera subfolders of `folder` (directories with camera names); none
// when it cannot be read.
std::vector<std::string> ListCameraFolders(const std::string& folder);

// Makes what is missing of <folder>/<camera>/ and, with `withPending`, its
// pending/ (each 0700). Of a chosen folder only its last component is ever
// made: a folder on a disk that is not mounted must not appear on the system
// disk. The default one (`isDefault`) is made as the desktop makes it: the
// desktop's pictures folder above it too, 0755 less the umask, but only
// inside an existing home. 0 or an errno value.
int EnsureFolder(const std::string& folder, bool isDefault, const std::string& camera,
                 bool withPending);

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

// Replaces dir/name with `text` as a whole: temporary name, fsync, rename.
// 0 or an errno value.
int ReplaceFile(const std::string& dir, const std::string& name, const std::string& text);

// The whole file, or an errno value (ENOENT: someone removed it).
int ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes);

// An errno value for the status line.
std::string ErrorText(int error);

// Removes the temporaries a writer left when it died: those of processes that
// no longer run, and any untouched for ten minutes.
void RemoveStaleTemporaries(const std::string& dir);

}  // namespace pictures
