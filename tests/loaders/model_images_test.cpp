// A model's textures decoded under one budget: every image within the side and the model's pixel
// budget, scaled by the mean of the pixels it covers, each scaling a note; a file named by several
// materials decoded once, a missing one a note.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "loaders/bmp_writer.h"
#include "loaders/model_images.h"
#include "tests/loaders/model_files.h"

namespace {

using namespace LOAD_3DS;

FileMaterial Raw(const std::string& name, int w, int h, const std::vector<unsigned char>& rgb) {
    FileMaterial m;
    m.name = name;
    m.texture = "embedded image " + name;
    m.embedded = rgb;
    m.embeddedWidth = w;
    m.embeddedHeight = h;
    return m;
}

TEST(ModelImagesTest, EveryModelStaysWithinTheSideAndPixelBudgetsAndEachScalingIsANote) {
    std::mt19937 random(20261208);
    for (int run = 0; run < 40; ++run) {
        const TextureBounds bounds{std::uniform_int_distribution<int>(4, 200)(random),
                                   std::uniform_int_distribution<long long>(30, 30000)(random)};
        std::vector<FileMaterial> materials;
        std::vector<std::array<unsigned char, 3>> colours;
        const int n = std::uniform_int_distribution<int>(1, 6)(random);
        for (int k = 0; k < n; ++k) {
            const int w = std::uniform_int_distribution<int>(1, 400)(random), h = std::uniform_int_distribution<int>(1, 400)(random);
            const std::array<unsigned char, 3> c = {std::uint8_t(random()), std::uint8_t(random()), std::uint8_t(random())};
            std::vector<unsigned char> rgb;
            for (int p = 0; p < w * h; ++p) rgb.insert(rgb.end(), c.begin(), c.end());
            materials.push_back(Raw(std::to_string(k), w, h, rgb));
            colours.push_back(c);
        }
        const std::vector<FileMaterial> given = materials;
        std::vector<ModelImage> images;
        std::vector<std::string> notes;
        DecodeModelImages(materials, "", images, notes, nullptr, bounds);
        ASSERT_EQ(images.size(), std::size_t(n)) << "run " << run;
        long long pixels = 0;
        int scaled = 0;
        for (int k = 0; k < n; ++k) {
            const FileMaterial& m = materials[std::size_t(k)];
            ASSERT_EQ(m.image, k);
            EXPECT_TRUE(m.embedded.empty());
            const ModelImage& i = images[std::size_t(k)];
            const int w0 = given[std::size_t(k)].embeddedWidth, h0 = given[std::size_t(k)].embeddedHeight;
            EXPECT_TRUE(i.width >= 1 && i.width <= std::min(w0, bounds.side) && i.height >= 1 && i.height <= std::min(h0, bounds.side));
            ASSERT_EQ(i.pixels.size(), std::size_t(i.width) * std::size_t(i.height) * 3);
            for (std::size_t p = 0; p < i.pixels.size(); ++p) ASSERT_EQ(i.pixels[p], colours[std::size_t(k)][p % 3]);
            pixels += (long long)i.width * i.height;
            if (i.width != w0 || i.height != h0) {
                ++scaled;
                const std::string note = "texture " + m.texture + " scaled from " + std::to_string(w0) + "x" + std::to_string(h0) +
                                         " to " + std::to_string(i.width) + "x" + std::to_string(i.height);
                EXPECT_NE(std::find(notes.begin(), notes.end(), note), notes.end()) << note;
            }
        }
        EXPECT_LE(pixels, bounds.pixels) << "run " << run;
        EXPECT_EQ(int(notes.size()), scaled);
    }
    // Halved, each pixel the rounded mean of the 2 x 2 it covers.
    std::vector<unsigned char> rgb(8 * 6 * 3);
    for (unsigned char& b : rgb) b = std::uint8_t(random());
    std::vector<FileMaterial> one = {Raw("r", 8, 6, rgb)};
    std::vector<ModelImage> images;
    std::vector<std::string> notes;
    DecodeModelImages(one, "", images, notes, nullptr, {4, 1000});
    ASSERT_EQ(images.size(), 1u);
    ASSERT_EQ(images[0].width, 4);
    ASSERT_EQ(images[0].height, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            for (int c = 0; c < 3; ++c) {
                int sum = 0;
                for (int dy = 0; dy < 2; ++dy)
                    for (int dx = 0; dx < 2; ++dx) sum += rgb[std::size_t(((2 * y + dy) * 8 + 2 * x + dx) * 3 + c)];
                EXPECT_EQ(images[0].pixels[std::size_t((y * 4 + x) * 3 + c)], (sum + 2) / 4);
            }
}

TEST(ModelImagesTest, AFileNamedTwiceIsDecodedOnceAndAMissingOneIsANote) {
    redowl_test::TempDir dir;
    const unsigned char rgb[12] = {255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 9, 9};
    const std::vector<unsigned char> bmp = EncodeBMP24(2, 2, rgb);
    std::ofstream(dir.File("wood.bmp"), std::ios::binary).write(reinterpret_cast<const char*>(bmp.data()), std::streamsize(bmp.size()));
    std::vector<FileMaterial> materials(3);
    materials[0].name = "a";
    materials[0].texture = "C:\\art\\WOOD.BMP";
    materials[1].name = "b";
    materials[1].maps[1].texture = "wood.bmp";
    materials[2].name = "c";
    materials[2].texture = "gone.png";
    std::vector<ModelImage> images;
    std::vector<std::string> notes, read;
    DecodeModelImages(materials, dir.File(""), images, notes, &read);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(materials[0].image, 0);
    EXPECT_EQ(materials[1].maps[1].image, 0);
    EXPECT_EQ(materials[2].image, -1);
    EXPECT_EQ(images[0].width, 2);
    EXPECT_EQ(read.size(), 1u);
    EXPECT_EQ(notes, (std::vector<std::string>{"texture gone.png of material c not found; its colour is used"}));
}

}  // namespace
