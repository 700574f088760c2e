#include "app/png_image.h"

#include <png.h>

#include <cstdio>
#include <memory>

namespace WIN_NMS {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

}  // namespace

bool WritePng(const std::string& path, const Image& image, std::string* error) {
    if (image.width <= 0 || image.height <= 0 || (image.channels != 1 && image.channels != 3) ||
        image.pixels.size() != static_cast<std::size_t>(image.width) * image.height * image.channels)
        return Fail(error, "not an 8-bit grey or RGB image: " + path);
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) return Fail(error, "cannot write " + path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return Fail(error, "libpng could not start");
    }
    // libpng reports its errors by a long jump back here; nothing with a destructor is made
    // between here and the end of the writing.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return Fail(error, "cannot write " + path);
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width), static_cast<png_uint_32>(image.height), 8,
                 image.channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const std::size_t stride = static_cast<std::size_t>(image.width) * image.channels;
    for (int row = 0; row < image.height; ++row)
        png_write_row(png, const_cast<png_bytep>(image.pixels.data() + row * stride));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fflush(file.get()) != 0) return Fail(error, "cannot write " + path);
    return true;
}

bool ReadPng(const std::string& path, Image& image, std::string* error) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) return Fail(error, "cannot open " + path);
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return Fail(error, "libpng could not start");
    }
    std::vector<png_bytep>* rows = new std::vector<png_bytep>();  // freed on both ways out
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        delete rows;
        return Fail(error, "not a readable PNG file: " + path);
    }
    png_init_io(png, file.get());
    png_read_info(png, info);
    // To 8-bit grey or RGB without alpha.
    png_set_strip_16(png);
    png_set_strip_alpha(png);
    png_set_packing(png);
    const int colourType = png_get_color_type(png, info);
    if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colourType == PNG_COLOR_TYPE_GRAY && png_get_bit_depth(png, info) < 8) png_set_expand_gray_1_2_4_to_8(png);
    png_read_update_info(png, info);
    const int width = static_cast<int>(png_get_image_width(png, info));
    const int height = static_cast<int>(png_get_image_height(png, info));
    const int channels = png_get_channels(png, info);
    image.width = width;
    image.height = height;
    image.channels = channels;
    image.pixels.assign(static_cast<std::size_t>(width) * height * channels, 0);
    rows->resize(height);
    for (int row = 0; row < height; ++row) (*rows)[row] = image.pixels.data() + static_cast<std::size_t>(row) * width * channels;
    png_read_image(png, rows->data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    delete rows;
    if (channels != 1 && channels != 3) return Fail(error, "not a grey or RGB PNG: " + path);
    return true;
}

}  // namespace WIN_NMS
