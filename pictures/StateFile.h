#pragma once

// What only the state file can tell of a picture folder: which kept pictures
// Drive holds, and which waiting ones may already be there. A snapshot
// (.orvanta-pictures.json, written whole now and then) and a journal of the
// changes since (.orvanta-pictures.journal, one line appended per change), so
// that what a delivery records costs the same however much the folder holds.
//
// Only the instance that holds the folder's lock writes them. Any instance
// may add look-up marks for waiting pictures it puts into the folder
// (PlaceWithLookUp), under the journal's own lock. No threads and no locks
// of its own here: a StateFile is used by one thread at a time.

#include "PictureFiles.h"
#include "UniqueFd.h"

#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace pictures {

struct DeliveryMarks {
    std::set<std::string> delivered;  // StatePath of kept pictures that Drive holds
    std::set<std::string> lookUp;     // StatePath of waiting pictures to look up before sending
};

enum class MarkChange { Delivered, Forgotten, LookUp, LookedUp };
using MarkChanges = std::vector<std::pair<MarkChange, std::string>>;

class StateFile {
public:
    StateFile() = default;  // records nothing

    // Reads the folder's snapshot and every change since, once, into `marks`,
    // and opens the journal (made where missing) for what follows. What is
    // missing or garbled reads as nothing known.
    static StateFile Open(const std::string& folder, DeliveryMarks& marks);

    explicit operator bool() const { return static_cast<bool>(journal); }

    // Appends changes and flushes them. 0 or an errno value.
    int Append(const MarkChanges& changes);
    // Look-up marks appended since the last call or Open, by anyone.
    std::vector<std::string> NewLookUps();
    // True once the journal outgrew the snapshot (and a floor): rewriting
    // then costs no more than the appending did.
    bool IsDue() const;
    // `marks` becomes the snapshot and the journal starts empty but for the
    // look-up marks others appended meanwhile. 0 or an errno value.
    int Rewrite(const DeliveryMarks& marks);

private:
    std::string folder;
    UniqueFd journal;
    uint64_t readOffset = 0;  // the journal is read up to here
    uint64_t journalBytes = 0;
    uint64_t snapshotBytes = 0;
};

// Puts a waiting picture into `folder` (`place` returns where it now lies,
// as the StatePath's name of `camera`) and, with `lookUp`, records its
// look-up mark in that folder's journal under the journal's lock, so that
// whoever holds the folder finds the picture only with its mark. A mark that
// cannot be recorded leaves the picture where it was (the error is returned).
WriteResult PlaceWithLookUp(const std::string& folder, const std::string& camera, bool lookUp,
                            const std::function<WriteResult()>& place);

}  // namespace pictures
