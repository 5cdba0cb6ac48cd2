#include "TestFrames.h"

#include <cstring>

extern "C" {
#include <libavutil/frame.h>
}

VideoFrame UniformFrame(int width, int height, std::uint8_t y, std::uint8_t u, std::uint8_t v, FrameRange range)
{
    AVFrame* picture = av_frame_alloc();
    picture->format = range == FrameRange::FullByFormat ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
    picture->color_range = range == FrameRange::FullByField ? AVCOL_RANGE_JPEG : AVCOL_RANGE_UNSPECIFIED;
    picture->width = width;
    picture->height = height;
    VideoFrame frame;
    if (av_frame_get_buffer(picture, 0) >= 0) {
        const std::uint8_t levels[3] = {y, u, v};
        for (int plane = 0; plane < 3; ++plane) {
            const int rows = plane == 0 ? height : (height + 1) / 2;
            std::memset(picture->data[plane], levels[plane], static_cast<std::size_t>(picture->linesize[plane]) * rows);
        }
        frame = VideoFrame(picture);
    }
    av_frame_free(&picture);
    return frame;
}

std::uint8_t LimitedLuma(int grey)
{
    return static_cast<std::uint8_t>(16 + (grey * 219 + 127) / 255);
}
