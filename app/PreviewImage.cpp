#include "PreviewImage.h"

#include <algorithm>

const unsigned char kPreviewBackground[3] = {18, 24, 38};

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

wxSize PreviewTargetSize(const wxSize& clientSize, const wxSize& minimumSize)
{
    if (clientSize.GetWidth() >= 64 && clientSize.GetHeight() >= 64) {
        return clientSize;
    }
    if (minimumSize.GetWidth() >= 64 && minimumSize.GetHeight() >= 64) {
        return minimumSize;
    }
    return wxSize(960, 540);
}

wxImage ComposePreviewImage(const std::vector<uint8_t>& frame, int width, int height,
                            const wxSize& target)
{
    wxImage image(width, height, false);
    std::copy(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(width) * height * 3,
              image.GetData());

    const PreviewPlacement placement =
        ComputePreviewPlacement(target.GetWidth(), target.GetHeight(), width, height);
    image.Rescale(placement.scaledWidth, placement.scaledHeight, wxIMAGE_QUALITY_HIGH);

    wxImage canvas(target.GetWidth(), target.GetHeight(), false);
    canvas.SetRGB(wxRect(0, 0, target.GetWidth(), target.GetHeight()), kPreviewBackground[0],
                  kPreviewBackground[1], kPreviewBackground[2]);
    canvas.Paste(image, placement.x, placement.y);
    return canvas;
}
