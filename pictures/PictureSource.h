#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pictures {

// Rows of a picture as a JPEG's own planes (4:2:0, full range): luma rows
// [top, top + rows), each the picture's width, and chroma rows
// [top / 2, (top + rows + 1) / 2), each (width + 1) / 2.
struct JpegBand {
    int top = 0;  // even
    int rows = 0;
    std::uint8_t* luma = nullptr;
    std::ptrdiff_t lumaStride = 0;
    std::uint8_t* cb = nullptr;
    std::uint8_t* cr = nullptr;
    std::ptrdiff_t chromaStride = 0;
};

// A picture to keep, handed to the encoder a band of rows at a time, so that
// no full-size copy of it need be made. Made on one thread, read on the
// writer thread.
class PictureSource {
public:
    virtual ~PictureSource() = default;
    virtual int Width() const = 0;
    virtual int Height() const = 0;
    // Any band, in any order, as often as asked (the encoder asks from the
    // top down, once each). False when the band cannot be made: the picture
    // is then dropped.
    virtual bool Fill(const JpegBand& band) = 0;
};

// A picture held whole: luma width x height, then Cb and Cr of
// (width + 1) / 2 x (height + 1) / 2, packed.
class PackedPlanes : public PictureSource {
public:
    PackedPlanes(std::vector<std::uint8_t> planes, int width, int height);

    int Width() const override { return width; }
    int Height() const override { return height; }
    // False when the planes do not hold a width x height picture.
    bool Fill(const JpegBand& band) override;

private:
    std::vector<std::uint8_t> planes;
    int width;
    int height;
};

}  // namespace pictures
