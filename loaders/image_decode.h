#pragma once
// Decoding image files as image programs read them: JPEG through libjpeg-turbo (which passes
// over stray bytes between segments and reads progressive files), PNG through libpng, and every
// other format stb_image knows (BMP of every kind, TGA, GIF, PSD, HDR, PNM). The size is checked
// against the texture limits before any pixel is decoded. Nothing here throws but the two
// texture-record functions at the end, which the configuration's own texture key uses.

#include <cstddef>
#include <string>
#include <vector>

class TEXTURE;

namespace LOAD_3DS {

struct DecodedImage {
    int width = 0;
    int height = 0;
    bool hasAlpha = false;                // the file carries an alpha channel
    std::vector<unsigned char> rgba;      // 4 bytes a pixel, top row first
};

// False with a one-line reason ("NAME could not be decoded (...)", "NAME is W x H pixels, too
// large") in *error; out is then unspecified.
bool DecodeImage(const unsigned char* data, std::size_t size, const std::string& name, DecodedImage& out,
                 std::string* error);

// The image's width and height from its header, nothing decoded. False with the same reasons as
// DecodeImage when the header cannot be read or the size is not accepted.
bool ImageSize(const unsigned char* data, std::size_t size, const std::string& name, int& width, int& height,
               std::string* error);

// The image's colour (or, with alpha, its alpha channel as grey) into the record: red, green,
// blue bytes, bottom row first, as LoadBMP leaves them; width, height and file name set.
void ToTexture(const DecodedImage& image, const std::string& name, TEXTURE& texture, bool alpha = false);

// The configuration's texture for a whole model (scene.model<i>_texture): a .bmp file through
// TEXTURE::LoadBMP with its messages; any other file decoded as above (not uploaded). Throws
// File_Error "Can not open FILE" or Image_File_Error "Can not load the texture: FILE could not
// be decoded (reason)".
void LoadTextureFile(TEXTURE& texture, const std::string& fileName);

}  // namespace LOAD_3DS
