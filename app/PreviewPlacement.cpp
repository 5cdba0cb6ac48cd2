#include "PreviewPlacement.h"

#include <algorithm>

PreviewPlacement ComputePreviewPlacement(int targetWidth, int targetHeight, int frameWidth,
                                         int frameHeight)
{
    const double scale = std::min(static_cast<double>(targetWidth) / frameWidth,
                                  static_cast<double>(targetHeight) / frameHeight);
    PreviewPlacement placement{};
    placement.scaledWidth = std::max(1, static_cast<int>(scale * frameWidth));
    placement.scaledHeight = std::max(1, static_cast<int>(scale * frameHeight));
    placement.x = std::max(0, (targetWidth - placement.scaledWidth) / 2);
    placement.y = std::max(0, (targetHeight - placement.scaledHeight) / 2);
    return placement;
}
