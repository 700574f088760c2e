#include "loaders/texture.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "errors/errors.h"
#include "loaders/image.h"
#include "loaders/provided_files.h"

namespace {

// Counts default-constructed records; each takes the current value as its provisional name.
std::atomic<GLuint> provisionalNames{0};

std::uint32_t U32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
std::uint16_t U16(const unsigned char* p) { return std::uint16_t(p[0] | p[1] << 8); }

// Closes the file on every path out of LoadBMP, the throwing ones included.
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

TEXTURE::TEXTURE() : quadric(gluNewQuadric()), textureName(provisionalNames.fetch_add(1)) {}

TEXTURE::TEXTURE(const TEXTURE& other)
    : width(other.width),
      height(other.height),
      quadric(other.quadric),
      textureName(other.textureName),
      firstUpload(other.firstUpload),
      fileName(other.fileName) {
    if (other.pixels) {
        const std::size_t n = std::size_t(width) * std::size_t(height) * 3;
        pixels = new unsigned char[n];
        std::memcpy(pixels, other.pixels, n);
    }
}

TEXTURE::TEXTURE(TEXTURE&& other) noexcept
    : width(other.width),
      height(other.height),
      pixels(other.pixels),
      quadric(other.quadric),
      textureName(other.textureName),
      firstUpload(other.firstUpload),
      fileName(std::move(other.fileName)) {
    other.pixels = nullptr;
}

TEXTURE& TEXTURE::operator=(TEXTURE&& other) noexcept {
    if (this == &other) return *this;
    delete[] pixels;
    pixels = other.pixels;
    other.pixels = nullptr;
    width = other.width;
    height = other.height;
    quadric = other.quadric;
    textureName = other.textureName;
    firstUpload = other.firstUpload;
    fileName = std::move(other.fileName);
    return *this;
}

TEXTURE& TEXTURE::operator=(const TEXTURE& other) {
    if (this == &other) return *this;
    unsigned char* copy = nullptr;
    if (other.pixels) {
        const std::size_t n = std::size_t(other.width) * std::size_t(other.height) * 3;
        copy = new unsigned char[n];
        std::memcpy(copy, other.pixels, n);
    }
    delete[] pixels;
    pixels = copy;
    width = other.width;
    height = other.height;
    quadric = other.quadric;
    textureName = other.textureName;
    firstUpload = other.firstUpload;
    fileName = other.fileName;
    return *this;
}

TEXTURE::~TEXTURE() { delete[] pixels; }

GLuint TEXTURE::PeekProvisionalName() { return provisionalNames.load(); }

int TEXTURE::LoadBMP(const char* name) {
    using TIRN_ERROR::File_Error;
    using TIRN_ERROR::Image_File_Error;
    // 1. The name is kept whatever happens next.
    fileName = name;
    const std::string damagedHeader = "Can not ReadFileHeader, perhaps the file " + fileName + " was damaged";
    const std::string noPixels = "The file " + fileName + " have NO PIXELS or was damaged";
    const std::string damagedRows = "The file " + fileName + " was damaged";

    // 2. Open.
    File file(LOAD_3DS::OpenFile(name, "rb"));
    if (!file) throw File_Error("Can not open " + fileName);
    std::FILE* f = file.get();

    // 3. File header: "BM", the pixel offset, and the information header size, which must be 40.
    unsigned char fileHeader[14];
    unsigned char infoSize[4];
    if (std::fseek(f, 0, SEEK_SET) != 0 || std::fread(fileHeader, 14, 1, f) != 1 || fileHeader[0] != 'B' ||
        fileHeader[1] != 'M')
        throw Image_File_Error(damagedHeader);
    const std::uint32_t pixelOffset = U32(fileHeader + 10);
    if (std::fread(infoSize, 4, 1, f) != 1 || U32(infoSize) != 40) throw Image_File_Error(damagedHeader);

    // 4. Back to the start of the information header.
    if (std::fseek(f, 14, SEEK_SET) != 0)
        throw Image_File_Error("Can not ReadFileHeader, perhaps the file " + fileName + " has NO PIXELS or damaged");

    // 5. The 40-byte information header in one read.
    unsigned char info[40];
    if (std::fread(info, 40, 1, f) != 1) throw Image_File_Error(damagedHeader);

    // 6. Only 24 bits per pixel.
    const std::int32_t newWidth = std::int32_t(U32(info + 4));
    const std::int32_t newHeight = std::int32_t(U32(info + 8));
    if (U16(info + 14) != 24) throw Image_File_Error("bmp files must have 24bp format, can not load " + fileName);

    // 7. Pixels right after the two headers; an empty or top-down image has no rows to read.
    if (pixelOffset != 54 || newWidth <= 0 || newHeight <= 0) throw Image_File_Error(noPixels);

    // 8. Seek to the pixels, and measure what the file holds after them.
    if (std::fseek(f, 0, SEEK_END) != 0) throw Image_File_Error(noPixels);
    const long fileLength = std::ftell(f);
    if (fileLength < 54 || std::fseek(f, 54, SEEK_SET) != 0) throw Image_File_Error(noPixels);

    // 9. Rows are padded to a multiple of 4 bytes.
    const std::uint64_t stride = (std::uint64_t(newWidth) * 3 + 3) / 4 * 4;
    // Rows the file cannot hold are refused before anything of their size is allocated.
    const std::uint64_t available = std::uint64_t(fileLength) - 54;
    if (std::uint64_t(newHeight) > available / stride) throw Image_File_Error(damagedRows);

    // 9b. The same pixel limits as every other image decoder, checked before anything of the
    // image's size is read or allocated (a sparse file holds gigabytes in a few kilobytes).
    if (newWidth > LOAD_3DS::kMaxImageSide || newHeight > LOAD_3DS::kMaxImageSide ||
        std::int64_t(newWidth) * newHeight > LOAD_3DS::kMaxImagePixels)
        throw Image_File_Error(fileName + " is " + std::to_string(newWidth) + " x " + std::to_string(newHeight) +
                               " pixels, too large");

    // 10. The new image replaces the old one.
    const std::size_t rowBytes = std::size_t(newWidth) * 3;
    width = newWidth;
    height = newHeight;
    delete[] pixels;
    pixels = nullptr;
    pixels = new unsigned char[rowBytes * std::size_t(newHeight)];
    std::unique_ptr<unsigned char[]> row(new unsigned char[stride]);

    // 11. Rows bottom to top as stored; blue, green, red become red, green, blue; padding dropped.
    for (std::int32_t r = 0; r < newHeight; ++r) {
        if (std::fread(row.get(), stride, 1, f) != 1) throw Image_File_Error(damagedRows);
        unsigned char* out = pixels + std::size_t(r) * rowBytes;
        for (std::size_t i = 0; i < rowBytes; i += 3) {
            out[i] = row[i + 2];
            out[i + 1] = row[i + 1];
            out[i + 2] = row[i];
        }
    }
    // 12. The file closes with its holder.
    return 1;
}

void TEXTURE::Upload() {
    if (!pixels) return;
    if (firstUpload) {
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glGenTextures(1, &textureName);
        glBindTexture(GL_TEXTURE_2D, textureName);
        gluBuild2DMipmaps(GL_TEXTURE_2D, GL_RGB, width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels);
        gluQuadricTexture(quadric, GL_TRUE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
        firstUpload = false;
    } else {
        glBindTexture(GL_TEXTURE_2D, textureName);
        gluBuild2DMipmaps(GL_TEXTURE_2D, 3, width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels);
    }
}
