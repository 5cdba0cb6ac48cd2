#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace pictures {

// RGB frames to JPEG (libjpeg-turbo, 4:2:0, quality 85): the program's only
// encoder of motion pictures. One per thread: the compressor is not shared.
class JpegEncoder {
public:
    // False when the frame is not width x height RGB pixels or the library fails.
    bool Encode(const std::vector<uint8_t>& rgb, int width, int height, std::vector<uint8_t>& jpeg);

private:
    struct Closer {
        void operator()(void* handle) const;
    };
    std::unique_ptr<void, Closer> compressor;  // made on first use
};

}  // namespace pictures
