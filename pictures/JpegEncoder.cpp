#include "JpegEncoder.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

namespace pictures {

namespace {

constexpr int kJpegQuality = 85;
// A 4:2:0 JPEG is coded in rows of 16 luma and 8 chroma samples, in blocks of
// 16 and 8 samples across.
constexpr int kBandRows = 16;

struct ErrorManager {
    jpeg_error_mgr library;
    std::jmp_buf escape;
};

[[noreturn]] void Escape(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->escape, 1);
}

void Silent(j_common_ptr) {}

// A band that throws is a band that cannot be made; nothing may unwind
// through the library's frames.
bool FillBand(PictureSource& picture, const JpegBand& band) noexcept
{
    try {
        return picture.Fill(band);
    } catch (...) {
        return false;
    }
}

int RoundUp(int value, int step)
{
    return (value + step - 1) / step * step;
}

// Repeats each row's last sample into the padding the coder reads.
void PadColumns(uint8_t* rows, std::ptrdiff_t stride, int count, int width, int padded)
{
    for (int y = 0; y < count; ++y, rows += stride) {
        std::fill(rows + width, rows + padded, rows[width - 1]);
    }
}

// Runs libjpeg from start to finish. Nothing here may own anything that
// needs a destructor: a library error leaves it by longjmp.
bool Compress(PictureSource& picture, int width, int height, uint8_t* luma, uint8_t* cb, uint8_t* cr,
              unsigned char** out, unsigned long* size)
{
    const int paddedWidth = RoundUp(width, kBandRows);
    const int chromaWidth = (width + 1) / 2;
    const int paddedChromaWidth = paddedWidth / 2;
    jpeg_compress_struct info{};
    ErrorManager errors{};
    info.err = jpeg_std_error(&errors.library);
    errors.library.error_exit = Escape;
    errors.library.output_message = Silent;
    if (setjmp(errors.escape) != 0) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, out, size);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 3;
    info.in_color_space = JCS_YCbCr;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, kJpegQuality, TRUE);
    info.raw_data_in = TRUE;
    // The fast integer transform, as TurboJPEG picks below quality 96: at 85
    // its error is far below the quantiser's, and it costs a fifth less.
    info.dct_method = JDCT_IFAST;
    info.comp_info[0].h_samp_factor = 2;
    info.comp_info[0].v_samp_factor = 2;
    for (int c = 1; c < 3; ++c) {
        info.comp_info[c].h_samp_factor = 1;
        info.comp_info[c].v_samp_factor = 1;
    }
    jpeg_start_compress(&info, TRUE);
    JSAMPROW lumaRows[kBandRows];
    JSAMPROW cbRows[kBandRows / 2];
    JSAMPROW crRows[kBandRows / 2];
    JSAMPARRAY planes[3] = {lumaRows, cbRows, crRows};
    bool filled = true;
    while (info.next_scanline < info.image_height) {
        const int top = static_cast<int>(info.next_scanline);
        const int rows = std::min(kBandRows, height - top);
        const int chromaRows = (rows + 1) / 2;
        filled = FillBand(picture, JpegBand{top, rows, luma, paddedWidth, cb, cr, paddedChromaWidth});
        if (!filled) {
            break;
        }
        PadColumns(luma, paddedWidth, rows, width, paddedWidth);
        PadColumns(cb, paddedChromaWidth, chromaRows, chromaWidth, paddedChromaWidth);
        PadColumns(cr, paddedChromaWidth, chromaRows, chromaWidth, paddedChromaWidth);
        // Below the picture's last row the coder reads that row again.
        for (int y = 0; y < kBandRows; ++y) {
            lumaRows[y] = luma + std::min(y, rows - 1) * paddedWidth;
        }
        for (int y = 0; y < kBandRows / 2; ++y) {
            cbRows[y] = cb + std::min(y, chromaRows - 1) * paddedChromaWidth;
            crRows[y] = cr + std::min(y, chromaRows - 1) * paddedChromaWidth;
        }
        jpeg_write_raw_data(&info, planes, kBandRows);
    }
    if (filled) {
        jpeg_finish_compress(&info);
    }
    jpeg_destroy_compress(&info);
    return filled;
}

}  // namespace

bool JpegEncoder::Encode(PictureSource& picture, std::vector<uint8_t>& jpeg)
{
    const int width = picture.Width();
    const int height = picture.Height();
    if (width < 1 || height < 1 || width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION) {
        return false;
    }
    const int paddedWidth = RoundUp(width, kBandRows);
    luma.resize(static_cast<std::size_t>(paddedWidth) * kBandRows);
    cb.resize(static_cast<std::size_t>(paddedWidth / 2) * (kBandRows / 2));
    cr.resize(cb.size());
    unsigned char* out = nullptr;
    unsigned long size = 0;
    // The library's output buffer is ours to free, whether it finished or not.
    const bool encoded = Compress(picture, width, height, luma.data(), cb.data(), cr.data(), &out, &size);
    if (encoded && out != nullptr) {
        jpeg.assign(out, out + size);
    }
    std::free(out);
    return encoded && out != nullptr;
}

}  // namespace pictures
