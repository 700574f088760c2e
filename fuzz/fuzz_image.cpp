// libFuzzer target: arbitrary bytes as a texture image of any format (JPEG through libjpeg-turbo,
// PNG through libpng, the rest through stb_image), decoded as a model's texture is, colour and
// alpha into texture records; its size read from the header alone agrees with the decoded one;
// and as an image embedded in a model, decoded under small bounds, it stays within them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "loaders/image.h"
#include "loaders/image_decode.h"
#include "loaders/model_images.h"
#include "loaders/texture.h"

namespace {

// Empty when every invariant held: a decoded image is within the limits, holds its pixels, and
// becomes a record of its size.
std::string DecodeInput(TEXTURE& texture, const std::uint8_t* data, std::size_t size) {
    // Embedded in a model's material, with its alpha asked for, under bounds of 64 a side and
    // 2048 pixels in all.
    LOAD_3DS::FileMaterial material;
    material.texture = "embedded image *0";
    material.embedded.assign(data, data + size);
    material.baseAlpha = true;
    std::vector<LOAD_3DS::FileMaterial> materials = {material};
    std::vector<LOAD_3DS::ModelImage> images;
    std::vector<std::string> notes;
    LOAD_3DS::DecodeModelImages(materials, "", images, notes, nullptr, {64, 2048});
    long long pixels = 0;
    for (const LOAD_3DS::ModelImage& i : images) {
        if (i.width < 1 || i.height < 1 || i.width > 64 || i.height > 64) return "a model's image beyond its side";
        if (i.pixels.size() != std::size_t(i.width) * std::size_t(i.height) * 3) return "a model's image without its pixels";
        pixels += (long long)i.width * i.height;
    }
    if (pixels > 2048) return "a model's images beyond their budget";
    if (materials[0].image >= int(images.size()) || materials[0].alphaImage >= int(images.size())) return "an image index past the images";
    LOAD_3DS::DecodedImage image;
    std::string error;
    int w = 0, h = 0;
    const bool sized = LOAD_3DS::ImageSize(data, size, "fuzz", w, h, &error);
    if (!LOAD_3DS::DecodeImage(data, size, "fuzz", image, &error)) {
        if (error.empty()) return "a refusal without a reason";
        return {};
    }
    if (!sized || w != image.width || h != image.height) return "the header's size is not the decoded size";
    if (image.width <= 0 || image.height <= 0 || image.width > LOAD_3DS::kMaxImageSide ||
        image.height > LOAD_3DS::kMaxImageSide || (long long)image.width * image.height > LOAD_3DS::kMaxImagePixels)
        return "a decoded image beyond the limits";
    if (image.rgba.size() != std::size_t(image.width) * std::size_t(image.height) * 4) return "pixels missing";
    for (const bool alpha : {false, true}) {
        LOAD_3DS::ToTexture(image, "fuzz", texture, alpha);
        const std::size_t n = std::size_t(texture.width) * std::size_t(texture.height) * 3;
        if (texture.width != image.width || texture.height != image.height || n == 0) return "record of another size";
        volatile unsigned char first = texture.pixels[0], last = texture.pixels[n - 1];
        (void)first;
        (void)last;
    }
    return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One record for the whole run: each image frees the previous pixels, and a record keeps its
    // GLU quadric for the life of the process.
    static TEXTURE* texture = new TEXTURE;
    const std::string broken = DecodeInput(*texture, data, size);
    if (!broken.empty()) {
        std::fprintf(stderr, "fuzz_image: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
