#pragma once

#include <wx/gdicmn.h>
#include <wx/image.h>

#include <cstdint>
#include <vector>

// Where a frame goes inside the preview: the largest size that fits the
// target while keeping the frame's aspect ratio, centred.
struct PreviewPlacement {
    int scaledWidth;
    int scaledHeight;
    int x;
    int y;
};

// Both sizes must be at least 1 in each direction.
PreviewPlacement ComputePreviewPlacement(int targetWidth, int targetHeight, int frameWidth,
                                         int frameHeight);

// The size the preview image is made for, given the control's client and
// minimum sizes: a control not yet laid out (below 64 pixels either way) gets
// its minimum size, or 960 x 540 when that is small too.
wxSize PreviewTargetSize(const wxSize& clientSize, const wxSize& minimumSize);

// The picture the preview shows for one RGB frame (width x height x 3 bytes,
// width and height at least 1): the frame scaled to fit `target` at high
// quality, centred on bars of the window's background colour. Needs no window.
wxImage ComposePreviewImage(const std::vector<uint8_t>& frame, int width, int height,
                            const wxSize& target);

// The preview's background colour, also used for the placeholder picture.
extern const unsigned char kPreviewBackground[3];
