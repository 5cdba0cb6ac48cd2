#pragma once

#include "VideoFrame.h"

#include <cstdint>

// Decoded pictures for the tests, made without a decoder.

// How a picture says its range: not at all (limited, as video), by its
// format (yuvj420p, full) or by its range field alone (yuv420p, full).
enum class FrameRange { Limited, FullByFormat, FullByField };

// A planar 4:2:0 picture whose every pixel has luma y and chroma u, v.
VideoFrame UniformFrame(int width, int height, std::uint8_t y, std::uint8_t u = 128, std::uint8_t v = 128,
                        FrameRange range = FrameRange::Limited);

// The limited-range luma of a grey level: 16 + grey * 219 / 255, rounded.
std::uint8_t LimitedLuma(int grey);
