#include "PreviewImage.h"

#include <algorithm>
#include <cstddef>

const unsigned char kPreviewBackground[3] = {18, 24, 38};

namespace {

// The source pixels one destination pixel averages along one axis, both ends
// included: from floor(d * old / new) to ceil((d + 1) * old / new) - 1. These
// are the boxes of wxImage's box-average resampling, which
// wxIMAGE_QUALITY_HIGH uses when an image shrinks both ways.
struct SourceSpan {
    int first;
    int count;
};

std::vector<SourceSpan> BoxSpans(int newSize, int oldSize)
{
    std::vector<SourceSpan> spans(static_cast<std::size_t>(newSize));
    for (int d = 0; d < newSize; ++d) {
        const auto first = static_cast<int>(static_cast<long long>(d) * oldSize / newSize);
        const auto last = static_cast<int>((static_cast<long long>(d + 1) * oldSize - 1) / newSize);
        spans[static_cast<std::size_t>(d)] = SourceSpan{first, std::min(last, oldSize - 1) - first + 1};
    }
    return spans;
}

// Boxes up to this many pixels divide by multiplying with a 32-bit reciprocal,
// exact while 255 * count * count < 2^32.
constexpr int kMaxBoxPixels = 4096;

// Writes the box average of the frame, newWidth x newHeight, into the canvas
// at (left, top): the same bytes as wxImage::Scale with wxIMAGE_QUALITY_HIGH
// when shrinking both ways, computed separably (each destination row's
// source rows summed once, then each pixel's columns from those sums) and
// without copying the frame into a wxImage first. False, with the canvas
// untouched, when the boxes are too large for that.
bool ShrinkInto(const std::vector<uint8_t>& frame, int width, int height, int newWidth, int newHeight,
                wxImage& canvas, int left, int top)
{
    const std::vector<SourceSpan> rows = BoxSpans(newHeight, height);
    const std::vector<SourceSpan> columns = BoxSpans(newWidth, width);
    int maxRows = 1;
    for (const SourceSpan& span : rows) {
        maxRows = std::max(maxRows, span.count);
    }
    int maxColumns = 1;
    for (const SourceSpan& span : columns) {
        maxColumns = std::max(maxColumns, span.count);
    }
    if (maxRows * maxColumns > kMaxBoxPixels) {
        return false;
    }
    std::vector<uint64_t> reciprocal(static_cast<std::size_t>(maxRows) * maxColumns + 1);
    for (std::size_t count = 1; count < reciprocal.size(); ++count) {
        reciprocal[count] = (uint64_t{1} << 32) / count + 1;
    }

    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    std::vector<uint32_t> columnSums(rowBytes);
    const std::size_t canvasRowBytes = static_cast<std::size_t>(canvas.GetWidth()) * 3;
    unsigned char* const canvasData = canvas.GetData();
    for (int y = 0; y < newHeight; ++y) {
        const SourceSpan& rowSpan = rows[static_cast<std::size_t>(y)];
        const uint8_t* source = frame.data() + static_cast<std::size_t>(rowSpan.first) * rowBytes;
        std::copy(source, source + rowBytes, columnSums.begin());
        for (int j = 1; j < rowSpan.count; ++j) {
            source += rowBytes;
            for (std::size_t k = 0; k < rowBytes; ++k) {
                columnSums[k] += source[k];
            }
        }
        unsigned char* out = canvasData + static_cast<std::size_t>(top + y) * canvasRowBytes +
                             static_cast<std::size_t>(left) * 3;
        for (const SourceSpan& columnSpan : columns) {
            const uint32_t* sums = columnSums.data() + static_cast<std::size_t>(columnSpan.first) * 3;
            uint64_t red = 0;
            uint64_t green = 0;
            uint64_t blue = 0;
            for (int i = 0; i < columnSpan.count; ++i, sums += 3) {
                red += sums[0];
                green += sums[1];
                blue += sums[2];
            }
            const uint64_t scale = reciprocal[static_cast<std::size_t>(rowSpan.count * columnSpan.count)];
            out[0] = static_cast<unsigned char>((red * scale) >> 32);
            out[1] = static_cast<unsigned char>((green * scale) >> 32);
            out[2] = static_cast<unsigned char>((blue * scale) >> 32);
            out += 3;
        }
    }
    return true;
}

}  // namespace

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
    const PreviewPlacement placement =
        ComputePreviewPlacement(target.GetWidth(), target.GetHeight(), width, height);
    wxImage canvas(target.GetWidth(), target.GetHeight(), false);
    canvas.SetRGB(wxRect(0, 0, target.GetWidth(), target.GetHeight()), kPreviewBackground[0],
                  kPreviewBackground[1], kPreviewBackground[2]);

    if (placement.scaledWidth < width && placement.scaledHeight < height &&
        ShrinkInto(frame, width, height, placement.scaledWidth, placement.scaledHeight, canvas, placement.x,
                   placement.y)) {
        return canvas;
    }

    wxImage image(width, height, false);
    std::copy(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(width) * height * 3,
              image.GetData());
    image.Rescale(placement.scaledWidth, placement.scaledHeight, wxIMAGE_QUALITY_HIGH);
    canvas.Paste(image, placement.x, placement.y);
    return canvas;
}
