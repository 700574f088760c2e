#pragma once
// Writes uncompressed 24-bit BMP files with a 40-byte information header and the pixels at
// offset 54: the one layout TEXTURE::LoadBMP reads. Used by the demo-scene tool and the tests.

#include <string>
#include <vector>

namespace LOAD_3DS {

// The bytes of a BMP file. rgb holds width * height pixels as red, green, blue, bottom row
// first, rows packed; the file stores blue, green, red with rows padded to 4 bytes.
std::vector<unsigned char> EncodeBMP24(int width, int height, const unsigned char* rgb);

// Writes EncodeBMP24 to path; false when the file cannot be written.
bool WriteBMP24(const std::string& path, int width, int height, const unsigned char* rgb);

// Writes raw bytes to path; false when the file cannot be written.
bool WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes);

}  // namespace LOAD_3DS
