// Decoding as image programs decode: a JPEG with stray bytes before a marker (which stb_image
// refuses as an "unknown marker") and a progressive JPEG come out as ImageMagick reads them; a
// PNG's alpha channel is kept apart for cut-outs; the configuration's texture key takes any image.
#include "loaders/image_decode.h"

#include "loaders/image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <utility>
#include <cmath>
#include <algorithm>
#include <jpeglib.h>
#include <png.h>

#include <cstring>

#include "loaders/texture.h"
#include "tests/loaders/model_files.h"

namespace {

using LOAD_3DS::DecodedImage;
using LOAD_3DS::DecodeImage;
using redowl_test::TempDir;

// A w x h picture of smooth gradients and a few edges, JPEG-encoded by libjpeg.
std::vector<unsigned char> EncodeJpeg(int w, int h, bool progressive) {
    std::vector<unsigned char> rgb(std::size_t(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned char* p = &rgb[(std::size_t(y) * w + x) * 3];
            p[0] = (unsigned char)(x * 255 / w);
            p[1] = (unsigned char)(((x / 8 + y / 8) % 2) ? 200 : 40);
            p[2] = (unsigned char)(y * 255 / h);
        }
    jpeg_compress_struct c;
    jpeg_error_mgr e;
    c.err = jpeg_std_error(&e);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = JDIMENSION(w);
    c.image_height = JDIMENSION(h);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 85, TRUE);
    if (progressive) jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = &rgb[std::size_t(c.next_scanline) * w * 3];
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    std::vector<unsigned char> bytes(out, out + size);
    jpeg_destroy_compress(&c);
    std::free(out);
    return bytes;
}

// Garbage before the first start-of-scan marker, as a broken exporter leaves it.
std::vector<unsigned char> WithStrayBytes(std::vector<unsigned char> jpeg) {
    for (std::size_t i = 2; i + 1 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) {
            const unsigned char junk[] = {0x00, 0x13, 0x37, 0x42, 0x99};
            jpeg.insert(jpeg.begin() + std::ptrdiff_t(i), std::begin(junk), std::end(junk));
            break;
        }
    return jpeg;
}

// What ImageMagick makes of the file: RGB bytes, top row first.
std::vector<unsigned char> MagickPixels(const std::string& file, const std::string& dir) {
    const std::string out = dir + "/magick.rgb";
    const std::string command = "convert '" + file + "' -depth 8 rgb:'" + out + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) return {};
    std::ifstream in(out, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

TEST(ImageDecoderTest, JpegsWithStrayBytesAndProgressiveJpegsDecodeAsImageMagickDecodesThem) {
    TempDir dir;
    for (const bool progressive : {false, true}) {
        const std::vector<unsigned char> clean = EncodeJpeg(37, 21, progressive);
        const std::vector<unsigned char> broken = WithStrayBytes(clean);
        ASSERT_NE(broken.size(), clean.size());
        const std::string file = dir.File(progressive ? "progressive.jpg" : "baseline.jpg");
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(broken.data()), std::streamsize(broken.size()));
        DecodedImage ours, reference;
        std::string error;
        ASSERT_TRUE(DecodeImage(broken.data(), broken.size(), "x.jpg", ours, &error)) << error;
        ASSERT_TRUE(DecodeImage(clean.data(), clean.size(), "x.jpg", reference, &error)) << error;
        EXPECT_EQ(ours.width, 37);
        EXPECT_EQ(ours.height, 21);
        EXPECT_FALSE(ours.hasAlpha);
        EXPECT_EQ(ours.rgba, reference.rgba);  // the stray bytes change nothing
        const std::vector<unsigned char> magick = MagickPixels(file, dir.File(""));
        ASSERT_EQ(magick.size(), std::size_t(37 * 21 * 3)) << "ImageMagick's convert is needed (scripts/setup)";
        int worst = 0;
        for (std::size_t p = 0; p < magick.size() / 3; ++p)
            for (int k = 0; k < 3; ++k) worst = std::max(worst, std::abs(int(ours.rgba[4 * p + k]) - int(magick[3 * p + k])));
        EXPECT_LE(worst, 1) << (progressive ? "progressive" : "baseline");
    }
    // A file cut short in its header is refused with the library's reason, not decoded.
    const std::vector<unsigned char> whole = EncodeJpeg(8, 8, false);
    const std::vector<unsigned char> head(whole.begin(), whole.begin() + 30);
    DecodedImage none;
    std::string error;
    EXPECT_FALSE(DecodeImage(head.data(), head.size(), "cut.jpg", none, &error));
    EXPECT_NE(error.find("cut.jpg could not be decoded ("), std::string::npos) << error;
}

TEST(ImageDecoderTest, PngAlphaIsKeptApartAndTheTextureKeyTakesAnyImage) {
    TempDir dir;
    // 2 x 2 RGBA, top row first.
    const unsigned char rgba[16] = {10, 20, 30, 0, 40, 50, 60, 255, 70, 80, 90, 128, 100, 110, 120, 255};
    const std::string file = dir.File("leaf.png");
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = png.height = 2;
    png.format = PNG_FORMAT_RGBA;
    ASSERT_TRUE(png_image_write_to_file(&png, file.c_str(), 0, rgba, 0, nullptr));
    TEXTURE colour, alpha;
    LOAD_3DS::LoadTextureFile(colour, file);  // as scene.model<i>_texture = leaf.png reads it
    EXPECT_EQ(colour.width, 2);
    // Bottom row first: the record's first pixel is the image's lower-left one.
    EXPECT_EQ(colour.pixels[0], 70);
    EXPECT_EQ(colour.pixels[2], 90);
    std::vector<unsigned char> bytes;
    ASSERT_TRUE(LOAD_3DS::ReadImageBytes(file, bytes, nullptr));
    DecodedImage decoded;
    ASSERT_TRUE(DecodeImage(bytes.data(), bytes.size(), file, decoded, nullptr));
    EXPECT_TRUE(decoded.hasAlpha);
    LOAD_3DS::ToTexture(decoded, file, alpha, true);
    EXPECT_EQ(alpha.pixels[0], 128);
    EXPECT_EQ(alpha.pixels[1], 128);
    EXPECT_EQ(alpha.pixels[6], 0);
}

// A CMYK (or, from CMYK, YCCK) JPEG of flat 8 x 8 blocks, each of the ink amounts given (0: none,
// 255: full), stored inverted with Adobe's marker as Photoshop writes them, or plain without it.
std::vector<unsigned char> EncodeCmykJpeg(int blocks, const std::vector<unsigned char>& inks, bool adobe, bool ycck) {
    const int w = 8 * blocks, h = 8;
    jpeg_compress_struct c;
    jpeg_error_mgr e;
    c.err = jpeg_std_error(&e);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = JDIMENSION(w);
    c.image_height = JDIMENSION(h);
    c.input_components = 4;
    c.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&c);
    jpeg_set_colorspace(&c, ycck ? JCS_YCCK : JCS_CMYK);
    c.write_Adobe_marker = adobe ? TRUE : FALSE;
    jpeg_set_quality(&c, 100, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<unsigned char> row(std::size_t(w) * 4);
    for (int x = 0; x < w; ++x)
        for (int k = 0; k < 4; ++k) {
            const unsigned char ink = inks[std::size_t(x / 8) * 4 + std::size_t(k)];
            row[std::size_t(x) * 4 + std::size_t(k)] = adobe ? static_cast<unsigned char>(255 - ink) : ink;
        }
    for (int y = 0; y < h; ++y) {
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    std::vector<unsigned char> bytes(out, out + size);
    jpeg_destroy_compress(&c);
    std::free(out);
    return bytes;
}

TEST(ImageDecoderTest, CmykJpegsPlainAndAdobeInvertedComeOutAsTheirInksPrintOnWhite) {
    std::mt19937 random(40);
    const int blocks = 12;
    std::vector<unsigned char> inks(std::size_t(blocks) * 4);
    for (unsigned char& v : inks) v = static_cast<unsigned char>(random() % 256);
    for (const auto& [adobe, ycck] : {std::pair{true, false}, std::pair{false, false}, std::pair{true, true}}) {
        const std::vector<unsigned char> jpeg = EncodeCmykJpeg(blocks, inks, adobe, ycck);
        DecodedImage image;
        std::string error;
        ASSERT_TRUE(DecodeImage(jpeg.data(), jpeg.size(), "cmyk.jpg", image, &error)) << error;
        ASSERT_EQ(image.width, 8 * blocks);
        int worst = 0;
        for (int b = 0; b < blocks; ++b)
            for (int k = 0; k < 3; ++k) {
                // Light left after the ink of the colour and the black: (1 - c)(1 - k).
                const double expected = (255.0 - inks[std::size_t(b) * 4 + std::size_t(k)]) *
                                        (255.0 - inks[std::size_t(b) * 4 + 3]) / 255.0;
                const int got = image.rgba[std::size_t(4 * (8 * b + 4) + 4 * 8 * blocks * 4) + std::size_t(k)];
                worst = std::max(worst, int(std::lround(std::abs(got - expected))));
            }
        EXPECT_LE(worst, ycck ? 4 : 2) << "adobe " << adobe << " ycck " << ycck;
    }
}

}  // namespace

namespace {

// A flat w x h CMYK JPEG of the given samples, with or without Adobe's marker (which says the
// samples are stored inverted, as Photoshop writes them).
std::vector<unsigned char> EncodeCmyk(int w, int h, const unsigned char cmyk[4], bool adobe) {
    std::vector<unsigned char> samples;
    for (int p = 0; p < w * h; ++p) samples.insert(samples.end(), cmyk, cmyk + 4);
    jpeg_compress_struct c;
    jpeg_error_mgr e;
    c.err = jpeg_std_error(&e);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = JDIMENSION(w);
    c.image_height = JDIMENSION(h);
    c.input_components = 4;
    c.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&c);
    jpeg_set_colorspace(&c, JCS_CMYK);
    c.write_Adobe_marker = adobe ? TRUE : FALSE;
    jpeg_set_quality(&c, 95, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = &samples[std::size_t(c.next_scanline) * std::size_t(w) * 4];
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    std::vector<unsigned char> bytes(out, out + size);
    jpeg_destroy_compress(&c);
    std::free(out);
    return bytes;
}

}  // namespace

// CMYK JPEGs come out in their colours: inks as stored, or inverted under Adobe's marker.
TEST(ImageDecoderTest, CmykAndInvertedCmykJpegsAreConverted) {
    const unsigned char inks[4] = {55, 155, 205, 0}, inverted[4] = {200, 100, 50, 255};
    for (const bool adobe : {false, true}) {
        const std::vector<unsigned char> jpeg = EncodeCmyk(16, 8, adobe ? inverted : inks, adobe);
        DecodedImage image;
        std::string error;
        ASSERT_TRUE(DecodeImage(jpeg.data(), jpeg.size(), "cmyk.jpg", image, &error)) << error;
        ASSERT_EQ(image.rgba.size(), 16u * 8 * 4);
        const int want[3] = {200, 100, 50};
        for (std::size_t p = 0; p < 16 * 8; ++p)
            for (int k = 0; k < 3; ++k) ASSERT_NEAR(image.rgba[4 * p + std::size_t(k)], want[k], 3) << (adobe ? "adobe" : "plain");
    }
}
