#pragma once

#include "Application.h"
#include "PreviewImage.h"

#include <wx/panel.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

class wxStaticBitmapBase;
class wxStaticText;

// Frames of one camera on their way to its tile: pushed on the decoder
// thread, drawn on the GUI thread. Nothing is kept while nobody sees the tile.
class PreviewFeed {
public:
    struct Frame {
        VideoFrame frame;
        MotionResult motion;
    };
    // A GUI thread that falls behind only ever draws the newest few.
    static constexpr std::size_t kMaxPending = 3;

    // Decoder thread. False, and nothing kept, while the tile is not seen.
    bool Push(Frame frame);
    // GUI thread: the oldest waiting frame; false when none waits or the tile
    // is no longer seen.
    bool Pop(Frame& frame);
    void SetVisible(bool visible);
    std::size_t Pending() const;

private:
    mutable std::mutex mutex;
    std::deque<Frame> pending;
    bool visible = true;
};

// The window's previews: one camera fills the area with its preview (the
// window as it always was); two or more share it as a grid of tiles, each with
// the camera's name and its own status line. Double-click or Return on a tile
// shows that camera alone; again returns to the grid.
//
// Threading: GUI thread, except Push.
class CameraTiles : public wxPanel {
public:
    // onSelect: the user moved to another tile (GUI thread).
    CameraTiles(wxWindow* parent, std::function<void(CameraId)> onSelect);

    // One tile per camera, in this order; the selection stays where it can.
    void Rebuild(const std::vector<CameraInfo>& cameras);
    CameraId Selected() const { return selected; }
    void SetStatus(CameraId camera, const wxString& text);
    // False while the window is minimised or hidden: no tile is seen.
    void SetWindowVisible(bool visible);
    // Shows `camera` alone, or the grid again.
    void ToggleAlone(CameraId camera);

    // Any thread. False when nobody sees the camera's tile: then the caller
    // need not ask for a draw.
    bool Push(CameraId camera, PreviewFeed::Frame frame);
    // Draws the oldest frame waiting for the camera's tile.
    void DrawNext(CameraId camera);
    std::size_t PendingPreviews(CameraId camera) const;
    // Frames converted for the previews so far, all tiles together.
    std::uint64_t ConversionCount() const;

private:
    struct Tile {
        CameraId id = 0;
        wxPanel* panel = nullptr;
        wxStaticText* status = nullptr;  // null with one camera
        wxStaticBitmapBase* preview = nullptr;
        std::shared_ptr<PreviewFeed> feed;
        std::shared_ptr<PreviewRenderer> renderer;  // keeps its conversion for the tile's size
    };

    void AddTile(const CameraInfo& camera, bool alone);
    void Arrange();
    void Select(CameraId camera);
    void UpdateVisibility();
    void Highlight();
    Tile* Find(CameraId camera);
    std::shared_ptr<PreviewFeed> FeedOf(CameraId camera) const;

    const std::function<void(CameraId)> onSelect;
    std::vector<Tile> tiles;
    CameraId selected = 0;
    CameraId shownAlone = 0;  // 0: the grid
    bool windowVisible = true;
    std::uint64_t conversionsOfGoneTiles = 0;

    // What Push reads on decoder threads.
    mutable std::mutex feedsMutex;
    std::map<CameraId, std::shared_ptr<PreviewFeed>> feeds;
};
