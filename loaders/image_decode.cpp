#include "loaders/image_decode.h"

#include <png.h>
#include <stb/stb_image.h>

#include <csetjmp>
#include <cstdio>
// jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>

#include "errors/errors.h"
#include "loaders/image.h"
#include "loaders/texture.h"

namespace LOAD_3DS {

namespace {

bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

bool SizeAccepted(long long w, long long h) {
    return w > 0 && h > 0 && w <= kMaxImageSide && h <= kMaxImageSide && w * h <= kMaxImagePixels;
}

std::string TooLarge(const std::string& name, long long w, long long h) {
    return name + " is " + std::to_string(w) + " x " + std::to_string(h) + " pixels, too large";
}

// ---- JPEG ---------------------------------------------------------------------------------

// libjpeg reports a fatal error through error_exit, which must not return: it jumps back to
// the decoder with the library's message. Warnings (stray bytes before a marker, data that
// ends early) are passed over, as image programs do, and the picture is kept.
struct JpegError {
    jpeg_error_mgr manager;
    std::jmp_buf back;
    char message[JMSG_LENGTH_MAX];
};

void JpegExit(j_common_ptr info) {
    auto* e = reinterpret_cast<JpegError*>(info->err);
    (*info->err->format_message)(info, e->message);
    std::longjmp(e->back, 1);
}
void JpegQuiet(j_common_ptr, int) {}

// A progressive file may hold any number of scans, each a pass over the whole image: a small
// file of thousands of empty scans costs minutes. Real files have about ten.
constexpr int kMaxJpegScans = 500;
void JpegScanLimit(j_common_ptr info) {
    auto* d = reinterpret_cast<j_decompress_ptr>(info);
    if (d->is_decompressor && d->input_scan_number > kMaxJpegScans) {
        auto* e = reinterpret_cast<JpegError*>(info->err);
        std::snprintf(e->message, sizeof e->message, "more than %d scans", kMaxJpegScans);
        std::longjmp(e->back, 1);
    }
}

// One CMYK pixel as RGB. Adobe's files (those with its marker, as Photoshop writes them) store
// the inks inverted (255: no ink), the others as they are (255: full ink).
void CmykToRgb(const unsigned char* cmyk, bool inverted, unsigned char* rgb) {
    const unsigned k = inverted ? cmyk[3] : 255u - cmyk[3];
    for (int c = 0; c < 3; ++c) {
        const unsigned ink = inverted ? cmyk[c] : 255u - cmyk[c];
        rgb[c] = static_cast<unsigned char>((ink * k + 127) / 255);
    }
}

// Everything that must survive the jump lives outside the function that calls setjmp.
struct JpegState {
    jpeg_decompress_struct info;
    JpegError error;
    jpeg_progress_mgr progress{};
    std::vector<unsigned char> row;
    bool created = false;
    ~JpegState() {
        if (created) jpeg_destroy_decompress(&info);
    }
};

bool DecodeJpeg(const unsigned char* data, std::size_t size, const std::string& name, DecodedImage& out,
                std::string* error) {
    JpegState s;
    s.info.err = jpeg_std_error(&s.error.manager);
    s.error.manager.error_exit = JpegExit;
    s.error.manager.emit_message = JpegQuiet;
    s.error.message[0] = '\0';
    if (setjmp(s.error.back) != 0) return Fail(error, name + " could not be decoded (" + s.error.message + ")");
    jpeg_create_decompress(&s.info);
    s.created = true;
    s.progress.progress_monitor = JpegScanLimit;
    s.info.progress = &s.progress;
    jpeg_mem_src(&s.info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&s.info, TRUE);
    if (!SizeAccepted(s.info.image_width, s.info.image_height))
        return Fail(error, TooLarge(name, s.info.image_width, s.info.image_height));
    // Grey and YCbCr files converted to RGB by the library; CMYK and YCCK (Adobe's CMYK) it
    // delivers only as CMYK, converted below.
    const bool cmyk = s.info.jpeg_color_space == JCS_CMYK || s.info.jpeg_color_space == JCS_YCCK;
    const bool inverted = cmyk && s.info.saw_Adobe_marker;
    s.info.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_start_decompress(&s.info);
    const std::size_t w = s.info.output_width, h = s.info.output_height;
    if (s.info.output_components != (cmyk ? 4 : 3) || !SizeAccepted((long long)w, (long long)h))
        return Fail(error, name + " could not be decoded (unexpected colour layout)");
    out.width = int(w);
    out.height = int(h);
    out.hasAlpha = false;
    out.rgba.assign(w * h * 4, 255);
    s.row.resize(w * std::size_t(s.info.output_components));
    while (s.info.output_scanline < s.info.output_height) {
        const std::size_t y = s.info.output_scanline;
        JSAMPROW rows[1] = {s.row.data()};
        if (jpeg_read_scanlines(&s.info, rows, 1) != 1) break;
        unsigned char* dst = out.rgba.data() + y * w * 4;
        if (cmyk)
            for (std::size_t x = 0; x < w; ++x) CmykToRgb(s.row.data() + 4 * x, inverted, dst + 4 * x);
        else
            for (std::size_t x = 0; x < w; ++x) std::memcpy(dst + 4 * x, s.row.data() + 3 * x, 3);
    }
    jpeg_finish_decompress(&s.info);
    return true;
}

// ---- PNG ----------------------------------------------------------------------------------

bool DecodePng(const unsigned char* data, std::size_t size, const std::string& name, DecodedImage& out,
               std::string* error) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, data, size))
        return Fail(error, name + " could not be decoded (" + image.message + ")");
    if (!SizeAccepted(image.width, image.height)) {
        png_image_free(&image);
        return Fail(error, TooLarge(name, image.width, image.height));
    }
    out.hasAlpha = (image.format & PNG_FORMAT_FLAG_ALPHA) != 0;
    image.format = PNG_FORMAT_RGBA;
    out.width = int(image.width);
    out.height = int(image.height);
    out.rgba.assign(std::size_t(image.width) * image.height * 4, 0);
    if (!png_image_finish_read(&image, nullptr, out.rgba.data(), 0, nullptr))
        return Fail(error, name + " could not be decoded (" + image.message + ")");
    return true;
}

// ---- everything else ----------------------------------------------------------------------

struct StbFree {
    void operator()(unsigned char* p) const { stbi_image_free(p); }
};

bool DecodeOther(const unsigned char* data, std::size_t size, const std::string& name, DecodedImage& out,
                 std::string* error) {
    if (size > std::size_t(std::numeric_limits<int>::max())) return Fail(error, name + " is too large");
    int w = 0, h = 0, channels = 0;
    if (!stbi_info_from_memory(data, int(size), &w, &h, &channels))
        return Fail(error, name + " is not an image that can be read (" + stbi_failure_reason() + ")");
    if (!SizeAccepted(w, h)) return Fail(error, TooLarge(name, w, h));
    std::unique_ptr<unsigned char, StbFree> rgba(stbi_load_from_memory(data, int(size), &w, &h, &channels, 4));
    if (!rgba) return Fail(error, name + " could not be decoded (" + stbi_failure_reason() + ")");
    if (!SizeAccepted(w, h)) return Fail(error, name + " is too large");
    out.width = w;
    out.height = h;
    out.hasAlpha = channels == 2 || channels == 4;
    out.rgba.assign(rgba.get(), rgba.get() + std::size_t(w) * std::size_t(h) * 4);
    return true;
}

bool JpegSize(const unsigned char* data, std::size_t size, const std::string& name, int& w, int& h, std::string* error) {
    JpegState s;
    s.info.err = jpeg_std_error(&s.error.manager);
    s.error.manager.error_exit = JpegExit;
    s.error.manager.emit_message = JpegQuiet;
    s.error.message[0] = '\0';
    if (setjmp(s.error.back) != 0) return Fail(error, name + " could not be decoded (" + s.error.message + ")");
    jpeg_create_decompress(&s.info);
    s.created = true;
    jpeg_mem_src(&s.info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&s.info, TRUE);
    if (!SizeAccepted(s.info.image_width, s.info.image_height))
        return Fail(error, TooLarge(name, s.info.image_width, s.info.image_height));
    w = int(s.info.image_width);
    h = int(s.info.image_height);
    return true;
}

bool PngSize(const unsigned char* data, std::size_t size, const std::string& name, int& w, int& h, std::string* error) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, data, size))
        return Fail(error, name + " could not be decoded (" + image.message + ")");
    png_image_free(&image);
    if (!SizeAccepted(image.width, image.height)) return Fail(error, TooLarge(name, image.width, image.height));
    w = int(image.width);
    h = int(image.height);
    return true;
}

bool OtherSize(const unsigned char* data, std::size_t size, const std::string& name, int& w, int& h, std::string* error) {
    if (size > std::size_t(std::numeric_limits<int>::max())) return Fail(error, name + " is too large");
    int channels = 0;
    if (!stbi_info_from_memory(data, int(size), &w, &h, &channels))
        return Fail(error, name + " is not an image that can be read (" + stbi_failure_reason() + ")");
    return SizeAccepted(w, h) || Fail(error, TooLarge(name, w, h));
}

bool IsJpeg(const unsigned char* data, std::size_t size) {
    return size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF;
}
bool IsPng(const unsigned char* data, std::size_t size) {
    static const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return size >= 8 && std::memcmp(data, kPngSignature, 8) == 0;
}

}  // namespace

bool ImageSize(const unsigned char* data, std::size_t size, const std::string& name, int& width, int& height,
               std::string* error) {
    if (data == nullptr || size == 0) return Fail(error, name + " is empty");
    if (IsJpeg(data, size)) return JpegSize(data, size, name, width, height, error);
    if (IsPng(data, size)) return PngSize(data, size, name, width, height, error);
    return OtherSize(data, size, name, width, height, error);
}

bool DecodeImage(const unsigned char* data, std::size_t size, const std::string& name, DecodedImage& out,
                 std::string* error) {
    if (data == nullptr || size == 0) return Fail(error, name + " is empty");
    if (size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF) return DecodeJpeg(data, size, name, out, error);
    static const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (size >= 8 && std::memcmp(data, kPngSignature, 8) == 0) return DecodePng(data, size, name, out, error);
    return DecodeOther(data, size, name, out, error);
}

void ToTexture(const DecodedImage& image, const std::string& name, TEXTURE& texture, bool alpha) {
    // Decoded images come top row first; the records keep the bottom row first, as OpenGL wants.
    const std::size_t w = std::size_t(image.width), h = std::size_t(image.height);
    auto* pixels = new unsigned char[w * h * 3];
    for (std::size_t y = 0; y < h; ++y) {
        const unsigned char* src = image.rgba.data() + y * w * 4;
        unsigned char* dst = pixels + (h - 1 - y) * w * 3;
        for (std::size_t x = 0; x < w; ++x) {
            if (alpha) {
                dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = src[4 * x + 3];
            } else {
                std::memcpy(dst + 3 * x, src + 4 * x, 3);
            }
        }
    }
    delete[] texture.pixels;
    texture.pixels = pixels;
    texture.width = image.width;
    texture.height = image.height;
    texture.fileName = name;
}

void LoadTextureFile(TEXTURE& texture, const std::string& fileName) {
    std::string ext = std::filesystem::path(fileName).extension().string();
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".bmp") {
        texture.LoadBMP(fileName.c_str());
    } else {
        std::vector<unsigned char> bytes;
        if (!ReadImageBytes(fileName, bytes, nullptr)) throw TIRN_ERROR::File_Error("Can not open " + fileName);
        DecodedImage image;
        std::string why;
        if (!DecodeImage(bytes.data(), bytes.size(), fileName, image, &why))
            throw TIRN_ERROR::Image_File_Error("Can not load the texture: " + why);
        ToTexture(image, fileName, texture);
    }
}

}  // namespace LOAD_3DS
