#include "PictureCap.h"

#include <algorithm>

namespace pictures {

std::string FolderPath(const KeptPicture& picture)
{
    const std::string dir = picture.camera.empty() ? std::string() : picture.camera + "/";
    return dir + (picture.kind == PictureKind::Waiting ? "pending/" : "") + picture.file.name;
}

bool RemovedBefore::operator()(const KeptPicture& a, const KeptPicture& b) const
{
    if (a.kind != b.kind)
        return a.kind < b.kind;
    if (TakenBefore(a.file, b.file))
        return true;
    if (TakenBefore(b.file, a.file))
        return false;
    return a.camera < b.camera;
}

std::vector<KeptPicture> PicturesOverCap(const KeptPictures& kept, uint64_t totalBytes, uint64_t capBytes,
                                         const std::function<bool(const KeptPicture&)>& spared)
{
    std::vector<KeptPicture> removed;
    for (auto picture = kept.begin(); picture != kept.end() && totalBytes > capBytes; ++picture) {
        if (spared(*picture))
            continue;
        removed.push_back(*picture);
        totalBytes -= std::min(totalBytes, picture->file.bytes);
    }
    return removed;
}

}  // namespace pictures
