#pragma once
// Texture images of model files: decoding (loaders/image_decode.h: JPEG, PNG, BMP of every common
// kind, TGA, GIF) into a TEXTURE record, and finding the file a model names where modellers expect it. Nothing here
// throws or shows a box: a texture that cannot be had is a line of the load report, and the
// model is shown in its materials' colours.

#include <cstddef>
#include <string>
#include <vector>

class TEXTURE;

namespace LOAD_3DS {

// Largest side of a texture image accepted, in pixels; larger images are refused before they
// are decoded.
inline constexpr int kMaxImageSide = 16384;
// Largest image accepted, in pixels (256 MiB of RGB bytes).
inline constexpr long long kMaxImagePixels = 1ll << 26;

// Decodes an image file into the record's pixels (red, green, blue, bottom row first, as
// LoadBMP leaves them; an alpha channel is dropped), its width, height and file name. False
// with a one-line reason in *error, the record then unchanged.
bool LoadImageFile(const std::string& path, TEXTURE& texture, std::string* error);
// The bytes of an image file (at most 512 MiB), provided in memory or opened as
// loaders/safe_open.h does, bounded by ImpliedFolder(path); false with the reason in *error
// ("PATH cannot be read", "PATH is a named pipe, not a file", ...).
bool ReadImageBytes(const std::string& path, std::vector<unsigned char>& bytes, std::string* error);
// The same for a file that must lie inside folder ("" is the current folder), every link resolved:
// a texture that a model in that folder names.
bool ReadImageBytesInside(const std::string& folder, const std::string& path, std::vector<unsigned char>& bytes,
                          std::string* error);
// The same from encoded bytes in memory (an image embedded in a model file); name is what the
// record and the reason call it.
bool LoadImageMemory(const unsigned char* data, std::size_t size, const std::string& name, TEXTURE& texture,
                     std::string* error);

// The file a model in folder modelFolder means by reference (a path as the model file holds
// it, with '/' or '\' separators, relative or absolute, perhaps from another machine), or ""
// when there is none. Only files inside the model's folder are found. Tried in this order: the
// reference relative to the folder, normalised (unless it is absolute or leaves the folder:
// see PathInsideFolder), then its file name alone in the folder; each first exactly, then
// with letter case ignored in every part of the path below the folder; last, a file provided in
// memory (loaders/provided_files.h) at the normalised reference inside the folder.
std::string FindTextureFile(const std::string& modelFolder, const std::string& reference);

}  // namespace LOAD_3DS
