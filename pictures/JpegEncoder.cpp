#include "JpegEncoder.h"

#include <turbojpeg.h>

namespace pictures {

namespace {

constexpr int kJpegQuality = 85;

struct TurboJpegBufferFree {
    void operator()(unsigned char* buffer) const { tjFree(buffer); }
};

}  // namespace

void JpegEncoder::Closer::operator()(void* handle) const
{
    tjDestroy(handle);
}

bool JpegEncoder::Encode(const std::vector<uint8_t>& planes, int width, int height,
                         std::vector<uint8_t>& jpeg)
{
    // Rows of the planes are packed: no padding (1).
    if (width <= 0 || height <= 0 || planes.size() != tjBufSizeYUV2(width, 1, height, TJSAMP_420))
        return false;
    if (!compressor)
        compressor.reset(tjInitCompress());
    if (!compressor)
        return false;
    // The library sizes its own output buffer; the vector then gets only the
    // bytes written, not the worst case.
    unsigned char* out = nullptr;
    unsigned long size = 0;
    const int result = tjCompressFromYUV(compressor.get(), planes.data(), width, 1, height, TJSAMP_420, &out,
                                         &size, kJpegQuality, 0);
    const std::unique_ptr<unsigned char, TurboJpegBufferFree> owned(out);
    if (result != 0 || out == nullptr)
        return false;
    jpeg.assign(out, out + size);
    return true;
}

}  // namespace pictures
