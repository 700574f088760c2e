#pragma once
// PNG files for the snapshot program and the reference-image tests (libpng): 8-bit RGB or
// grey images, row 0 at the top.

#include <string>
#include <vector>

namespace WIN_NMS {

struct Image {
    int width = 0;
    int height = 0;
    int channels = 0;                  // 1 (grey) or 3 (RGB)
    std::vector<unsigned char> pixels; // width * height * channels, row 0 at the top
};

// Writes the image; false with a reason in *error when the file cannot be written.
bool WritePng(const std::string& path, const Image& image, std::string* error = nullptr);
// Reads an 8-bit grey or RGB PNG (palette, alpha and 16-bit images are converted to these).
bool ReadPng(const std::string& path, Image& image, std::string* error = nullptr);

}  // namespace WIN_NMS
