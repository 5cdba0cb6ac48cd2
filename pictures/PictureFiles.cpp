#include "PictureFiles.h"

#include "UniqueFd.h"
#include "UserFolders.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <system_error>

namespace pictures {

namespace {

constexpr char kPrefix[] = "motion_";
constexpr char kSuffix[] = ".jpg";
constexpr std::size_t kBaseLength = 26;  // motion_YYYYMMDD_HHMMSS.jpg
constexpr int kMostNumbers = 10000;
constexpr char kStateName[] = ".orvanta-pictures.json";
constexpr char kTemporarySuffix[] = ".tmp";
constexpr time_t kStaleTemporarySeconds = 600;
constexpr uint64_t kLargestFileBytes = uint64_t{256} * 1024 * 1024;

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

bool AllDigits(const std::string& text, std::size_t from, std::size_t count)
{
    if (from + count > text.size() || count == 0)
        return false;
    for (std::size_t i = from; i < from + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
    }
    return true;
}

bool EndsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Temporaries are ".<final name>.<pid>.<sequence>.tmp": hidden, never a
// picture name, and they tell which process wrote them.
std::string TemporaryPath(const std::string& dir, const std::string& finalName)
{
    static std::atomic<unsigned long> sequence{0};
    return dir + "/." + finalName + "." + std::to_string(getpid()) + "."
           + std::to_string(++sequence) + kTemporarySuffix;
}

// The writer's process id of one of our temporaries; 0 when `name` is not one.
pid_t TemporaryWriter(const std::string& name)
{
    if (name.empty() || name[0] != '.' || !EndsWith(name, kTemporarySuffix))
        return 0;
    const std::string inner = name.substr(1, name.size() - 1 - (sizeof kTemporarySuffix - 1));
    const std::size_t sequenceDot = inner.rfind('.');
    if (sequenceDot == std::string::npos || sequenceDot == 0)
        return 0;
    const std::size_t pidDot = inner.rfind('.', sequenceDot - 1);
    if (pidDot == std::string::npos || !AllDigits(inner, pidDot + 1, sequenceDot - pidDot - 1)
        || !AllDigits(inner, sequenceDot + 1, inner.size() - sequenceDot - 1)
        || sequenceDot - pidDot - 1 > 9)
        return 0;
    const std::string finalName = inner.substr(0, pidDot);
    if (!IsPictureName(finalName) && finalName != kStateName)
        return 0;
    return static_cast<pid_t>(std::stol(inner.substr(pidDot + 1, sequenceDot - pidDot - 1)));
}

int WriteAll(int fd, const uint8_t* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

void SyncDirectory(const std::string& dir)
{
    // Only makes the rename durable sooner: the picture is already there.
    const UniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd)
        fsync(fd.Get());
}

bool Exists(const std::string& path)
{
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

// Renames `from` to the first free numbered name of `baseName` in `dir`.
WriteResult RenameToFreeName(const std::string& from, const std::string& dir,
                             const std::string& otherDir, const std::string& baseName)
{
    for (int number = 1; number <= kMostNumbers; ++number) {
        const std::string name = NumberedName(baseName, number);
        if (!otherDir.empty() && Exists(otherDir + "/" + name))
            continue;
        const std::string to = dir + "/" + name;
        // No-replace, so that another instance writing the same name at the
        // same moment never overwrites one.
        int result = renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
        if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system without no-replace renames.
            if (Exists(to))
                continue;
            result = rename(from.c_str(), to.c_str());
        }
        if (result == 0) {
            WriteResult done;
            done.file.name = name;
            return done;
        }
        if (errno != EEXIST)
            return WriteResult{errno, {}};
    }
    return WriteResult{EEXIST, {}};
}

}  // namespace

bool IsBaseName(const std::string& name)
{
    return name.size() == kBaseLength && name.compare(0, 7, kPrefix) == 0 && AllDigits(name, 7, 8)
           && name[15] == '_' && AllDigits(name, 16, 6) && name.compare(22, 4, kSuffix) == 0;
}

bool IsPictureName(const std::string& name)
{
    if (IsBaseName(name))
        return true;
    // motion_YYYYMMDD_HHMMSS_N.jpg
    if (name.size() < kBaseLength + 2 || !EndsWith(name, kSuffix) || name[22] != '_'
        || !IsBaseName(name.substr(0, 22) + kSuffix))
        return false;
    const std::size_t digits = name.size() - 23 - 4;
    return digits <= 5 && AllDigits(name, 23, digits) && name[23] != '0'
           && !(digits == 1 && name[23] == '1');
}

std::string DriveName(const std::string& pictureName)
{
    return pictureName.size() > kBaseLength ? pictureName.substr(0, 22) + kSuffix : pictureName;
}

std::string NumberedName(const std::string& baseName, int number)
{
    if (number <= 1)
        return baseName;
    return baseName.substr(0, 22) + "_" + std::to_string(number) + kSuffix;
}

bool TakenBefore(const PictureFile& a, const PictureFile& b)
{
    if (a.modified.tv_sec != b.modified.tv_sec)
        return a.modified.tv_sec < b.modified.tv_sec;
    if (a.modified.tv_nsec != b.modified.tv_nsec)
        return a.modified.tv_nsec < b.modified.tv_nsec;
    return a.name < b.name;
}

std::vector<PictureFile> ListPictures(const std::string& dir)
{
    std::vector<PictureFile> files;
    const UniqueDir listing(opendir(dir.c_str()));
    if (!listing)
        return files;
    const int dirFd = dirfd(listing.get());
    while (const dirent* entry = readdir(listing.get())) {
        const std::string name = entry->d_name;
        struct stat info {};
        if (!IsPictureName(name) || fstatat(dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0
            || !S_ISREG(info.st_mode))
            continue;
        files.push_back(PictureFile{name, info.st_mtim, static_cast<uint64_t>(info.st_size)});
    }
    return files;
}

std::vector<std::string> ListCameraFolders(const std::string& folder)
{
    std::vector<std::string> cameras;
    const UniqueDir listing(opendir(folder.c_str()));
    if (!listing)
        return cameras;
    const int dirFd = dirfd(listing.get());
    while (const dirent* entry = readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (!IsCameraName(name) || entry->d_type == DT_REG)
            continue;
        // A picture folder holds thousands of pictures: only what may be a
        // folder is looked at more closely.
        struct stat info {};
        if (entry->d_type == DT_DIR
            || (fstatat(dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode)))
            cameras.push_back(name);
    }
    return cameras;
}

bool IsCameraName(const std::string& camera)
{
    return !camera.empty() && camera.size() <= 255 && camera[0] != '.' && camera != "pending"
           && camera.find('/') == std::string::npos && camera.find('\0') == std::string::npos;
}

std::string CameraDir(const std::string& folder, const std::string& camera)
{
    return camera.empty() ? folder : folder + "/" + camera;
}

std::string PendingDir(const std::string& dir)
{
    return dir + "/pending";
}

std::string StatePath(const std::string& camera, const std::string& name)
{
    return camera.empty() ? name : camera + "/" + name;
}

bool SplitStatePath(const std::string& path, std::string& camera, std::string& name)
{
    const std::size_t slash = path.find('/');
    camera = slash == std::string::npos ? std::string() : path.substr(0, slash);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    return IsPictureName(name) && (camera.empty() ? slash == std::string::npos : IsCameraName(camera));
}

namespace {

int MakeFolder(const std::string& path, mode_t mode)
{
    return mkdir(path.c_str(), mode) == 0 || errno == EEXIST ? 0 : errno;
}

// The desktop's pictures folder above the default picture folder, made as
// the desktop makes it (0755 less the umask), each missing folder from the
// home down; nothing outside the home, nothing without a home.
void MakeDesktopPicturesFolder(const std::string& folder)
{
    const std::string home = HomeFolder();
    const std::string above = folder.substr(0, folder.rfind('/'));
    struct stat info {};
    if (home == "/" || above.compare(0, home.size() + 1, home + "/") != 0 || stat(above.c_str(), &info) == 0
        || stat(home.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return;
    std::vector<std::string> missing;
    for (std::size_t from = home.size() + 1; from <= above.size();) {
        const std::size_t end = std::min(above.find('/', from), above.size());
        const std::string part = above.substr(from, end - from);
        if (part.empty() || part == "." || part == "..")
            return;
        missing.push_back(above.substr(0, end));
        from = end + 1;
    }
    for (const std::string& path : missing) {
        if (MakeFolder(path, 0755) != 0)
            return;
    }
}

}  // namespace

int EnsureFolder(const std::string& folder, bool isDefault, const std::string& camera, bool withPending)
{
    if (isDefault)
        MakeDesktopPicturesFolder(folder);
    const std::string dir = CameraDir(folder, camera);
    int error = MakeFolder(folder, 0700);
    if (error == 0 && !camera.empty())
        error = MakeFolder(dir, 0700);
    if (error == 0 && withPending)
        error = MakeFolder(PendingDir(dir), 0700);
    if (error != 0)
        return error;
    struct stat info {};
    if (stat((withPending ? PendingDir(dir) : dir).c_str(), &info) != 0)
        return errno;
    return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

WriteResult WritePicture(const std::string& dir, const std::string& otherDir,
                         const std::string& baseName, const std::vector<uint8_t>& bytes,
                         const timespec* modified)
{
    const std::string temporary = TemporaryPath(dir, baseName);
    UniqueFd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd)
        return WriteResult{errno, {}};
    int error = WriteAll(fd.Get(), bytes.data(), bytes.size());
    if (error == 0 && modified != nullptr) {
        const timespec times[2] = {{0, UTIME_OMIT}, *modified};
        if (futimens(fd.Get(), times) != 0)
            error = errno;
    }
    if (error == 0 && fsync(fd.Get()) != 0)
        error = errno;
    struct stat info {};
    if (error == 0 && fstat(fd.Get(), &info) != 0)
        error = errno;
    if (close(fd.Release()) != 0 && error == 0)
        error = errno;
    if (error != 0) {
        unlink(temporary.c_str());
        return WriteResult{error, {}};
    }
    WriteResult result = RenameToFreeName(temporary, dir, otherDir, baseName);
    if (result.error != 0) {
        unlink(temporary.c_str());
        return result;
    }
    SyncDirectory(dir);
    result.file.modified = info.st_mtim;
    result.file.bytes = static_cast<uint64_t>(info.st_size);
    return result;
}

WriteResult MovePicture(const std::string& fromDir, const std::string& name,
                        const std::string& toDir, const std::string& otherDir)
{
    const std::string from = fromDir + "/" + name;
    struct stat info {};
    if (lstat(from.c_str(), &info) != 0)
        return WriteResult{errno, {}};
    WriteResult result = RenameToFreeName(from, toDir, otherDir, DriveName(name));
    if (result.error == 0) {
        SyncDirectory(toDir);
        SyncDirectory(fromDir);
        result.file.modified = info.st_mtim;
        result.file.bytes = static_cast<uint64_t>(info.st_size);
        return result;
    }
    if (result.error != EXDEV)
        return result;
    std::vector<uint8_t> bytes;
    if (const int error = ReadWholeFile(from, bytes))
        return WriteResult{error, {}};
    result = WritePicture(toDir, otherDir, DriveName(name), bytes, &info.st_mtim);
    if (result.error == 0 && unlink(from.c_str()) == 0)
        SyncDirectory(fromDir);
    return result;
}

int ReplaceFile(const std::string& dir, const std::string& name, const std::string& text)
{
    const std::string path = dir + "/" + name;
    const std::string temporary = TemporaryPath(dir, name);
    UniqueFd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd)
        return errno;
    int error = WriteAll(fd.Get(), reinterpret_cast<const uint8_t*>(text.data()), text.size());
    if (error == 0 && fsync(fd.Get()) != 0)
        error = errno;
    if (close(fd.Release()) != 0 && error == 0)
        error = errno;
    if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        unlink(temporary.c_str());
        return error;
    }
    SyncDirectory(dir);
    return 0;
}

int ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes)
{
    // Not blocking: a FIFO put in a picture's place must not hang the reader.
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (!fd || fstat(fd.Get(), &info) != 0)
        return errno;
    if (!S_ISREG(info.st_mode) || static_cast<uint64_t>(info.st_size) > kLargestFileBytes)
        return EINVAL;
    bytes.resize(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = read(fd.Get(), bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return errno;
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return 0;
}

std::string ErrorText(int error)
{
    if (error == ENOENT)
        return "the folder above it does not exist";
    return std::generic_category().message(error);
}

void RemoveStaleTemporaries(const std::string& dir)
{
    const UniqueDir listing(opendir(dir.c_str()));
    if (!listing)
        return;
    const int dirFd = dirfd(listing.get());
    const time_t now = time(nullptr);
    std::vector<std::string> stale;
    while (const dirent* entry = readdir(listing.get())) {
        const std::string name = entry->d_name;
        const pid_t writer = TemporaryWriter(name);
        struct stat info {};
        if (writer <= 0 || fstatat(dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0
            || !S_ISREG(info.st_mode))
            continue;
        // Another instance may be writing this one right now.
        const bool writerGone = writer != getpid() && kill(writer, 0) != 0 && errno == ESRCH;
        if (writerGone || now - info.st_mtim.tv_sec > kStaleTemporarySeconds)
            stale.push_back(name);
    }
    for (const std::string& name : stale)
        unlinkat(dirFd, name.c_str(), 0);
}

}  // namespace pictures
