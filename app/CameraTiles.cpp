#include "CameraTiles.h"

#include "PreviewImage.h"

#include <wx/bitmap.h>
#include <wx/generic/statbmpg.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

#include <algorithm>

namespace {

// The placeholder the window shows before the first frame.
wxBitmap Placeholder(int width, int height)
{
    wxImage image(width, height, false);
    image.SetRGB(wxRect(0, 0, width, height), kPreviewBackground[0], kPreviewBackground[1], kPreviewBackground[2]);
    return wxBitmap(image, wxBITMAP_SCREEN_DEPTH, 1.0);
}

// Columns and rows of the grid for this many cameras: 2 side by side, up to
// 4 in two rows of two, up to 9 in three of three.
wxSize GridShape(std::size_t count)
{
    if (count <= 1)
        return {1, 1};
    if (count == 2)
        return {2, 1};
    if (count <= 4)
        return {2, 2};
    return {3, 3};
}

}  // namespace

bool PreviewFeed::Push(Frame frame)
{
    Frame dropped;  // freed after the lock is released
    std::lock_guard<std::mutex> lock(mutex);
    if (!visible)
        return false;
    pending.push_back(std::move(frame));
    if (pending.size() > kMaxPending) {
        dropped = std::move(pending.front());
        pending.pop_front();
    }
    return true;
}

bool PreviewFeed::Pop(Frame& frame)
{
    std::lock_guard<std::mutex> lock(mutex);
    // More draws are asked for than frames kept when older ones were dropped.
    if (pending.empty() || !visible)
        return false;
    frame = std::move(pending.front());
    pending.pop_front();
    return true;
}

void PreviewFeed::SetVisible(bool on)
{
    std::deque<Frame> dropped;
    std::lock_guard<std::mutex> lock(mutex);
    visible = on;
    if (!on)
        dropped.swap(pending);
}

std::size_t PreviewFeed::Pending() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return pending.size();
}

CameraTiles::CameraTiles(wxWindow* parent, std::function<void(CameraId)> onSelect)
    : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER, "cameraTiles"),
      onSelect(std::move(onSelect))
{
}

void CameraTiles::Rebuild(const std::vector<CameraInfo>& cameras)
{
    SetSizer(nullptr);
    DestroyChildren();
    for (const Tile& tile : tiles)
        conversionsOfGoneTiles += tile.renderer->ConversionCount();
    tiles.clear();
    const auto has = [&](CameraId id) {
        return std::any_of(cameras.begin(), cameras.end(), [id](const CameraInfo& c) { return c.id == id; });
    };
    if (!has(selected))
        selected = cameras.empty() ? 0 : cameras.front().id;
    if (!has(shownAlone) || cameras.size() < 2)
        shownAlone = 0;
    for (const CameraInfo& camera : cameras)
        AddTile(camera, cameras.size() == 1);
    {
        std::lock_guard<std::mutex> lock(feedsMutex);
        feeds.clear();
        for (const Tile& tile : tiles)
            feeds[tile.id] = tile.feed;
    }
    Arrange();
    Highlight();
}

void CameraTiles::AddTile(const CameraInfo& camera, bool alone)
{
    Tile tile;
    tile.id = camera.id;
    tile.feed = std::make_shared<PreviewFeed>();
    tile.renderer = std::make_shared<PreviewRenderer>();
    if (alone) {
        // The window as it has always looked: the preview and nothing else.
        tile.panel = new wxPanel(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxNO_BORDER);
        tile.preview = new wxStaticBitmap(tile.panel, wxID_ANY, Placeholder(960, 540), wxDefaultPosition,
                                          wxDefaultSize, 0, "preview");
        auto* sizer = new wxBoxSizer(wxVERTICAL);
        sizer->Add(tile.preview, 1, wxEXPAND);
        tile.panel->SetSizer(sizer);
        tiles.push_back(tile);
        return;
    }
    // Takes the focus and every key, so that Tab moves between tiles and
    // Return shows one alone.
    tile.panel = new wxPanel(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxWANTS_CHARS | wxBORDER_NONE,
                             "cameraTile");
    tile.panel->SetCanFocus(true);
    auto* name = new wxStaticText(tile.panel, wxID_ANY, wxString::FromUTF8(camera.name), wxDefaultPosition,
                                  wxDefaultSize, wxST_ELLIPSIZE_END, "cameraName");
    wxFont bold = name->GetFont();
    bold.SetWeight(wxFONTWEIGHT_BOLD);
    name->SetFont(bold);
    tile.status = new wxStaticText(tile.panel, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                                   wxST_ELLIPSIZE_END | wxST_NO_AUTORESIZE, "cameraStatus");
    // A native bitmap control gets no mouse clicks under GTK; this one does.
    // Until the first frame it shows only its background, at any size.
    tile.preview = new wxGenericStaticBitmap(tile.panel, wxID_ANY, wxBitmapBundle(), wxDefaultPosition,
                                             wxDefaultSize, 0, "cameraPreview");
    tile.preview->SetBackgroundColour(wxColour(kPreviewBackground[0], kPreviewBackground[1], kPreviewBackground[2]));
    // Small, so that a large frame drawn once never holds the grid open.
    name->SetMinSize(wxSize(32, -1));
    tile.status->SetMinSize(wxSize(32, -1));
    tile.preview->SetMinSize(wxSize(64, 36));
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(name, 0, wxLEFT | wxRIGHT | wxTOP | wxEXPAND, 4);
    sizer->Add(tile.status, 0, wxLEFT | wxRIGHT | wxEXPAND, 4);
    sizer->Add(tile.preview, 1, wxALL | wxEXPAND, 4);
    tile.panel->SetSizer(sizer);

    const CameraId id = camera.id;
    const auto choose = [this, id](wxMouseEvent& event) {
        Select(id);
        event.Skip();
    };
    const auto toggle = [this, id](wxMouseEvent&) { ToggleAlone(id); };
    for (wxWindow* part : {static_cast<wxWindow*>(tile.panel), static_cast<wxWindow*>(name),
                           static_cast<wxWindow*>(tile.status), static_cast<wxWindow*>(tile.preview)}) {
        part->Bind(wxEVT_LEFT_DOWN, choose);
        part->Bind(wxEVT_LEFT_DCLICK, toggle);
    }
    tile.panel->Bind(wxEVT_SET_FOCUS, [this, id](wxFocusEvent& event) {
        Select(id);
        event.Skip();
    });
    tile.panel->Bind(wxEVT_KEY_DOWN, [this, id](wxKeyEvent& event) {
        if (event.GetKeyCode() == WXK_RETURN || event.GetKeyCode() == WXK_NUMPAD_ENTER)
            ToggleAlone(id);
        else if (event.GetKeyCode() == WXK_TAB)
            Navigate(event.ShiftDown() ? wxNavigationKeyEvent::IsBackward : wxNavigationKeyEvent::IsForward);
        else
            event.Skip();
    });
    tiles.push_back(tile);
}

void CameraTiles::Arrange()
{
    const wxSize shape = shownAlone != 0 ? wxSize(1, 1) : GridShape(tiles.size());
    auto* grid = new wxGridSizer(shape.GetHeight(), shape.GetWidth(), 8, 8);
    for (const Tile& tile : tiles) {
        const bool shown = shownAlone == 0 || tile.id == shownAlone;
        tile.panel->Show(shown);
        if (shown)
            grid->Add(tile.panel, 1, wxEXPAND);
    }
    SetSizer(grid);
    Layout();
    UpdateVisibility();
}

void CameraTiles::ToggleAlone(CameraId camera)
{
    if (tiles.size() < 2 || Find(camera) == nullptr)
        return;
    shownAlone = shownAlone == 0 ? camera : 0;
    Select(camera);
    Arrange();
    if (Tile* tile = Find(camera))
        tile->panel->SetFocus();
}

void CameraTiles::Select(CameraId camera)
{
    if (camera == selected || Find(camera) == nullptr)
        return;
    selected = camera;
    Highlight();
    if (onSelect)
        onSelect(camera);
}

void CameraTiles::Highlight()
{
    if (tiles.size() < 2)
        return;
    for (const Tile& tile : tiles) {
        tile.panel->SetBackgroundColour(tile.id == selected ? wxSystemSettings::GetColour(wxSYS_COLOUR_HIGHLIGHT)
                                                            : GetBackgroundColour());
        tile.panel->Refresh();
    }
}

void CameraTiles::SetWindowVisible(bool visible)
{
    windowVisible = visible;
    UpdateVisibility();
}

void CameraTiles::UpdateVisibility()
{
    for (const Tile& tile : tiles)
        tile.feed->SetVisible(windowVisible && (shownAlone == 0 || tile.id == shownAlone));
}

void CameraTiles::SetStatus(CameraId camera, const wxString& text)
{
    if (Tile* tile = Find(camera); tile != nullptr && tile->status != nullptr)
        tile->status->SetLabelText(text);
}

CameraTiles::Tile* CameraTiles::Find(CameraId camera)
{
    const auto found = std::find_if(tiles.begin(), tiles.end(), [camera](const Tile& tile) { return tile.id == camera; });
    return found == tiles.end() ? nullptr : &*found;
}

std::shared_ptr<PreviewFeed> CameraTiles::FeedOf(CameraId camera) const
{
    std::lock_guard<std::mutex> lock(feedsMutex);
    const auto found = feeds.find(camera);
    return found == feeds.end() ? nullptr : found->second;
}

bool CameraTiles::Push(CameraId camera, PreviewFeed::Frame frame)
{
    const std::shared_ptr<PreviewFeed> feed = FeedOf(camera);
    return feed && feed->Push(std::move(frame));
}

std::size_t CameraTiles::PendingPreviews(CameraId camera) const
{
    const std::shared_ptr<PreviewFeed> feed = FeedOf(camera);
    return feed ? feed->Pending() : 0;
}

std::uint64_t CameraTiles::ConversionCount() const
{
    std::uint64_t count = conversionsOfGoneTiles;
    for (const Tile& tile : tiles)
        count += tile.renderer->ConversionCount();
    return count;
}

void CameraTiles::DrawNext(CameraId camera)
{
    Tile* tile = Find(camera);
    PreviewFeed::Frame next;
    if (tile == nullptr || !tile->feed->Pop(next))
        return;
    // Converted once, at the tile's own size, straight from the decoded frame.
    const wxSize target = PreviewTargetSize(tile->preview->GetClientSize(), tile->preview->GetMinSize());
    const wxImage canvas = tile->renderer->Render(next.frame, next.motion, target);
    if (!canvas.IsOk())
        return;
    tile->preview->SetBitmap(wxBitmapBundle(wxBitmap(canvas, wxBITMAP_SCREEN_DEPTH, 1.0)));
    tile->preview->Refresh(true);
    tile->preview->Update();
}
