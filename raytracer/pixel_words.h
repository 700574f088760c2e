#pragma once
// A shaded colour (red in x, blue in y, green in z) as one RGBA word of the traced image: bytes
// in memory order red, green, blue, 255.

#include <cstdint>
#include <cstring>

#include "math/vector.h"

namespace RAYTR {

// One shaded channel as a byte: truncated toward zero, limited to [0, 255] (bright surfaces
// near the light reach values above 1.0, which must saturate rather than wrap; NaN gives 0).
inline std::uint8_t ChannelByte(float c) {
    const float v = c * 255.0f;
    if (!(v > 0.0f)) return 0;
    if (v >= 255.0f) return 255;
    return static_cast<std::uint8_t>(v);
}

inline std::uint32_t PixelWord(const ORVA_MATH::VECTOR& colour) {
    const std::uint8_t bytes[4] = {ChannelByte(colour.x), ChannelByte(colour.z), ChannelByte(colour.y), 255};
    std::uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// Luminance of a word's RGB bytes (Rec. 601 weights).
inline float WordLuminance(std::uint32_t word) {
    std::uint8_t rgb[4];
    std::memcpy(rgb, &word, sizeof rgb);
    return 0.299f * static_cast<float>(rgb[0]) + 0.587f * static_cast<float>(rgb[1]) + 0.114f * static_cast<float>(rgb[2]);
}

}  // namespace RAYTR
