#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace pictures {

// Frames to JPEG (libjpeg-turbo, 4:2:0, quality 85): the program's only
// encoder of motion pictures. It takes the JPEG's own planes (4:2:0, full
// range: luma width x height, then Cb and Cr of (width + 1) / 2 x
// (height + 1) / 2, packed), so no colour conversion is left to it. One per
// thread: the compressor is not shared.
class JpegEncoder {
public:
    // False when the planes are not of a width x height picture or the library fails.
    bool Encode(const std::vector<uint8_t>& planes, int width, int height, std::vector<uint8_t>& jpeg);

private:
    struct Closer {
        void operator()(void* handle) const;
    };
    std::unique_ptr<void, Closer> compressor;  // made on first use
};

}  // namespace pictures
