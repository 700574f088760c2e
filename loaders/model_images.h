#pragma once
// A model's texture images, decoded under one budget for the whole model. The import helper
// decodes the images of every model it reads (the decoders run on bytes from the user's files,
// so they run where a crash or a runaway allocation ends the helper, not the viewer) and sends
// the pixels in its reply; the viewer decodes only the images of the models it reads itself
// (3DS), the same way. Every texture larger than kMaxTextureSide on a side is scaled down to it,
// and when the model's textures together hold more than kModelPixelBudget pixels, all of them
// are scaled by one factor until they fit; each scaling is a note of the load report.

#include <string>
#include <vector>

#include "loaders/file_material.h"

namespace LOAD_3DS {

// Largest side of a texture after decoding, in pixels (a larger one is scaled down to it).
inline constexpr int kMaxTextureSide = 8192;
// Most pixels a model's textures hold together (192 MiB of RGB bytes; a texture whose alpha
// channel is the opacity counts twice).
inline constexpr long long kModelPixelBudget = 1ll << 26;

// A decoded texture: red, green, blue bytes, top row first, width x height of them.
struct ModelImage {
    std::string name;  // the file found, or the embedded image's name
    int width = 0;
    int height = 0;
    std::vector<unsigned char> pixels;
};

// Decodes the textures the materials name (their files looked up in `folder` with
// FindTextureFile, or the images embedded in the model) into images, each file or embedded
// image once, and points every material's image indices at them (FileMaterial::image and
// alphaImage, FileTexture::image; -1 where there is none); the embedded bytes are then dropped.
// A texture that is not found or cannot be decoded is a note ("texture NAME of material M not
// found; its colour is used"), as is one that was scaled ("texture NAME scaled from WxH to wxh").
// The files read are added to *filesRead when it is given.
// The bounds on a model's decoded textures (tests set smaller ones).
struct TextureBounds {
    int side = kMaxTextureSide;
    long long pixels = kModelPixelBudget;
};
void DecodeModelImages(std::vector<FileMaterial>& materials, const std::string& folder, std::vector<ModelImage>& images,
                       std::vector<std::string>& notes, std::vector<std::string>* filesRead = nullptr,
                       const TextureBounds& bounds = {});

}  // namespace LOAD_3DS
