#pragma once

#include "VideoFrame.h"

#include <cstdint>

// Decoded pictures for the tests, made without a decoder.

// A planar 4:2:0 picture whose every pixel has luma y and chroma u, v:
// yuv420p, or yuvj420p when fullRange.
VideoFrame UniformFrame(int width, int height, std::uint8_t y, std::uint8_t u = 128, std::uint8_t v = 128,
                        bool fullRange = false);

// The limited-range luma of a grey level: 16 + grey * 219 / 255, rounded.
std::uint8_t LimitedLuma(int grey);
