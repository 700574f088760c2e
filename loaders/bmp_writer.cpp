#include "loaders/bmp_writer.h"

#include <cstdint>
#include <cstdio>
#include <memory>

namespace LOAD_3DS {

namespace {
void PutU16(std::vector<unsigned char>& out, std::size_t at, std::uint32_t v) {
    out[at] = std::uint8_t(v);
    out[at + 1] = std::uint8_t(v >> 8);
}
void PutU32(std::vector<unsigned char>& out, std::size_t at, std::uint32_t v) {
    PutU16(out, at, v & 0xFFFF);
    PutU16(out, at + 2, v >> 16);
}
}  // namespace

std::vector<unsigned char> EncodeBMP24(int width, int height, const unsigned char* rgb) {
    const std::size_t w = width > 0 ? std::size_t(width) : 0;
    const std::size_t h = height > 0 ? std::size_t(height) : 0;
    const std::size_t stride = (w * 3 + 3) / 4 * 4;
    std::vector<unsigned char> out(54 + stride * h, 0);
    // File header: signature, file size, pixel offset.
    out[0] = 'B';
    out[1] = 'M';
    PutU32(out, 2, std::uint32_t(out.size()));
    PutU32(out, 10, 54);
    // Information header: size 40, width, height, one plane, 24 bits, no compression.
    PutU32(out, 14, 40);
    PutU32(out, 18, std::uint32_t(width));
    PutU32(out, 22, std::uint32_t(height));
    PutU16(out, 26, 1);
    PutU16(out, 28, 24);
    PutU32(out, 34, std::uint32_t(stride * h));
    PutU32(out, 38, 2835);  // 72 dpi
    PutU32(out, 42, 2835);
    // Rows bottom first, blue green red, zero padding.
    for (std::size_t r = 0; r < h && rgb; ++r)
        for (std::size_t x = 0; x < w; ++x) {
            const unsigned char* p = rgb + (r * w + x) * 3;
            unsigned char* q = out.data() + 54 + r * stride + x * 3;
            q[0] = p[2];
            q[1] = p[1];
            q[2] = p[0];
        }
    return out;
}

bool WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> f(std::fopen(path.c_str(), "wb"));
    if (!f) return false;
    if (!bytes.empty() && std::fwrite(bytes.data(), bytes.size(), 1, f.get()) != 1) return false;
    return std::fclose(f.release()) == 0;
}

bool WriteBMP24(const std::string& path, int width, int height, const unsigned char* rgb) {
    return WriteBytes(path, EncodeBMP24(width, height, rgb));
}

}  // namespace LOAD_3DS
