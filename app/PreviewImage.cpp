#include "PreviewImage.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cstddef>

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

wxImage PreviewRenderer::Render(const VideoFrame& frame, const MotionResult& motion, const wxSize& target)
{
    const int width = target.GetWidth();
    const int height = target.GetHeight();
    if (frame.IsEmpty() || width < 1 || height < 1) {
        return wxImage();
    }
    const PreviewPlacement at = ComputePreviewPlacement(width, height, frame.Width(), frame.Height());
    wxImage canvas(width, height, false);
    const std::ptrdiff_t rowBytes = std::ptrdiff_t{width} * 3;
    unsigned char* const data = canvas.GetData();
    if (!converter.Convert(frame, data + at.y * rowBytes + std::ptrdiff_t{at.x} * 3, rowBytes, at.scaledWidth,
                           at.scaledHeight)) {
        return wxImage();
    }
    // The bars around the picture, which the conversion left alone.
    const wxRect bars[] = {
        {0, 0, width, at.y},
        {0, at.y + at.scaledHeight, width, height - at.y - at.scaledHeight},
        {0, at.y, at.x, at.scaledHeight},
        {at.x + at.scaledWidth, at.y, width - at.x - at.scaledWidth, at.scaledHeight},
    };
    for (const wxRect& bar : bars) {
        if (bar.GetWidth() > 0 && bar.GetHeight() > 0) {
            canvas.SetRGB(bar, kPreviewBackground[0], kPreviewBackground[1], kPreviewBackground[2]);
        }
    }
    // The marks stay inside the picture, off the bars.
    cv::Mat picture = cv::Mat(height, width, CV_8UC3, data)(cv::Rect(at.x, at.y, at.scaledWidth, at.scaledHeight));
    DrawMotion(picture, motion, static_cast<double>(at.scaledWidth) / frame.Width());
    return canvas;
}
