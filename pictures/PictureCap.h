#pragma once

// The folder's size cap: which kept pictures go first when the folder tree
// (every camera's pictures, waiting ones included) outgrows it.

#include "PictureFiles.h"

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace pictures {

// In the cap's order: pictures Drive holds go first, then those only kept,
// then those still waiting for Drive.
enum class PictureKind { Delivered, KeptOnly, Waiting };

struct KeptPicture {
    PictureKind kind = PictureKind::KeptOnly;
    std::string camera;  // "" for the base folder
    PictureFile file;
    uint64_t addedSeq = 0;  // when the writer added it; 0: found on disk. Not part of the order.
};

// Where it lies below the folder: [camera/][pending/]name.
std::string FolderPath(const KeptPicture& picture);

// The cap's removal order: by kind, then taken earlier, then by camera.
struct RemovedBefore {
    bool operator()(const KeptPicture& a, const KeptPicture& b) const;
};
using KeptPictures = std::set<KeptPicture, RemovedBefore>;

// The pictures to remove, first to last, so that what is left of
// `totalBytes` fits `capBytes`: the first of `kept` that are not spared.
std::vector<KeptPicture> PicturesOverCap(const KeptPictures& kept, uint64_t totalBytes, uint64_t capBytes,
                                         const std::function<bool(const KeptPicture&)>& spared);

}  // namespace pictures
