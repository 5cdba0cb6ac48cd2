#pragma once

#include "PictureSource.h"

#include <cstdint>
#include <vector>

namespace pictures {

// Pictures to JPEG (libjpeg-turbo, 4:2:0, quality 85): the program's only
// encoder of motion pictures. It reads the picture a band of 16 rows at a
// time as the JPEG's own planes, so no colour conversion is left to it and no
// full-size copy of the picture is made. One per thread: its band buffers are
// reused.
class JpegEncoder {
public:
    // False when the picture is empty, a band cannot be made or the library
    // fails.
    bool Encode(PictureSource& picture, std::vector<uint8_t>& jpeg);

private:
    std::vector<uint8_t> luma;
    std::vector<uint8_t> cb;
    std::vector<uint8_t> cr;
};

}  // namespace pictures
