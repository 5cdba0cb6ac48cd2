#pragma once

#include "MotionDetector.h"
#include "VideoFrame.h"

#include <wx/gdicmn.h>
#include <wx/image.h>

#include <cstdint>

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

// Makes the pictures one preview shows (the window's, or one camera's tile):
// each decoded frame scaled once, as YUV, and converted to RGB once, at the
// size it is drawn there, into the letterboxed image that is drawn, and its
// motion boxes and label drawn at that scale. Needs no window.
//
// GUI thread only. One per preview: it keeps the conversion set up for the
// last size.
class PreviewRenderer {
public:
    // The frame fitted into `target` (at least 1 x 1), centred on bars of
    // the preview's background colour, marked. An invalid image when the
    // frame is empty or cannot be converted.
    wxImage Render(const VideoFrame& frame, const MotionResult& motion, const wxSize& target);

    // Frames converted so far.
    std::uint64_t ConversionCount() const { return converter.ConversionCount(); }

private:
    RgbConverter converter;
};

// The preview's background colour, also used for the placeholder picture.
extern const unsigned char kPreviewBackground[3];
