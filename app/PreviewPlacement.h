#pragma once

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
