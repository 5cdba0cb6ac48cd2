// The cap's removal order, as a table.

#include "PictureCap.h"

#include <gtest/gtest.h>

namespace {

using pictures::KeptPicture;
using pictures::PictureKind;

// motion_20240501_1200SS.jpg, taken at second `taken`, of `bytes`.
KeptPicture Picture(PictureKind kind, int taken, const std::string& camera = std::string(), uint64_t bytes = 10,
                    int second = -1)
{
    const int named = second < 0 ? taken : second;
    const std::string name = "motion_20240501_1200" + std::to_string(100 + named).substr(1) + ".jpg";
    return KeptPicture{kind, camera, pictures::PictureFile{name, timespec{1000 + taken, 0}, bytes}, 0};
}

TEST(PictureCap, RemovesDeliveredThenKeptOnlyThenWaitingEachOldestFirst)
{
    constexpr auto D = PictureKind::Delivered;
    constexpr auto K = PictureKind::KeptOnly;
    constexpr auto W = PictureKind::Waiting;
    struct Case {
        const char* what;
        std::vector<KeptPicture> kept;
        uint64_t capBytes;
        std::string spared;               // a FolderPath
        std::vector<std::string> removed;  // FolderPaths, in order
    };
    const auto path = [](const KeptPicture& picture) { return pictures::FolderPath(picture); };
    const Case cases[] = {
        {"within the cap nothing goes", {Picture(D, 1), Picture(K, 2)}, 20, "", {}},
        {"delivered before kept only before waiting, whatever their age",
         {Picture(W, 1), Picture(K, 2), Picture(D, 3)}, 10, "",
         {path(Picture(D, 3)), path(Picture(K, 2))}},
        {"oldest first within a kind, by time taken and not by name",
         {Picture(K, 5, "", 10, 1), Picture(K, 4, "", 10, 2), Picture(K, 6, "", 10, 3)}, 20, "",
         {path(Picture(K, 4, "", 10, 2))}},
        {"same moment: by name, then by camera",
         {Picture(D, 1, "b"), Picture(D, 1, "a"), Picture(D, 1, "", 10, 0)}, 0, "",
         {path(Picture(D, 1, "", 10, 0)), path(Picture(D, 1, "a")), path(Picture(D, 1, "b"))}},
        {"waiting ones go last, the spared one never", {Picture(W, 1), Picture(W, 2), Picture(W, 3)}, 10,
         path(Picture(W, 1)), {path(Picture(W, 2)), path(Picture(W, 3))}},
        {"a big one may be enough", {Picture(D, 1, "", 100), Picture(D, 2), Picture(K, 3)}, 25, "",
         {path(Picture(D, 1, "", 100))}},
        {"every camera's pictures share the cap",
         {Picture(K, 1, "Garden"), Picture(K, 2), Picture(D, 3, "Front door")}, 10, "",
         {path(Picture(D, 3, "Front door")), path(Picture(K, 1, "Garden"))}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        pictures::KeptPictures kept(c.kept.begin(), c.kept.end());
        uint64_t total = 0;
        for (const KeptPicture& picture : c.kept)
            total += picture.file.bytes;
        std::vector<std::string> removed;
        for (const KeptPicture& picture : pictures::PicturesOverCap(
                 kept, total, c.capBytes, [&](const KeptPicture& one) { return path(one) == c.spared; }))
            removed.push_back(path(picture));
        EXPECT_EQ(removed, c.removed);
    }
}

}  // namespace
