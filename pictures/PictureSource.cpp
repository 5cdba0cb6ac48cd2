#include "PictureSource.h"

#include <cstring>

namespace pictures {

namespace {

void CopyRows(const std::uint8_t* from, int width, int rows, std::uint8_t* to, std::ptrdiff_t stride)
{
    for (int y = 0; y < rows; ++y, from += width, to += stride) {
        std::memcpy(to, from, static_cast<std::size_t>(width));
    }
}

}  // namespace

PackedPlanes::PackedPlanes(std::vector<std::uint8_t> planes, int width, int height)
    : planes(std::move(planes)), width(width), height(height)
{
}

bool PackedPlanes::Fill(const JpegBand& band)
{
    if (width < 1 || height < 1) {
        return false;
    }
    const std::size_t lumaBytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    const int chromaWidth = (width + 1) / 2;
    const int chromaHeight = (height + 1) / 2;
    const std::size_t chromaBytes = static_cast<std::size_t>(chromaWidth) * static_cast<std::size_t>(chromaHeight);
    if (planes.size() != lumaBytes + 2 * chromaBytes || band.top < 0 || band.top % 2 != 0 || band.rows < 1 ||
        band.top + band.rows > height) {
        return false;
    }
    const int chromaTop = band.top / 2;
    const int chromaRows = (band.top + band.rows + 1) / 2 - chromaTop;
    const std::size_t chromaOffset = static_cast<std::size_t>(chromaTop) * static_cast<std::size_t>(chromaWidth);
    CopyRows(planes.data() + static_cast<std::size_t>(band.top) * static_cast<std::size_t>(width), width, band.rows,
             band.luma, band.lumaStride);
    CopyRows(planes.data() + lumaBytes + chromaOffset, chromaWidth, chromaRows, band.cb, band.chromaStride);
    CopyRows(planes.data() + lumaBytes + chromaBytes + chromaOffset, chromaWidth, chromaRows, band.cr,
             band.chromaStride);
    return true;
}

}  // namespace pictures
