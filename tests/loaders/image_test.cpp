// Texture images of model files: the lookup where modellers expect the file, and decoding of
// the formats models name (PNG, GIF, TGA, palette and 32-bit BMP lossless, JPEG) into the
// record's bottom-row-first RGB.
#include "loaders/image.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/png_image.h"
#include "loaders/texture.h"
#include "tests/loaders/model_files.h"

namespace {

using LOAD_3DS::FindTextureFile;
using redowl_test::TempDir;
namespace fs = std::filesystem;

void Touch(const std::string& path) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << "x";
}

TEST(TextureLookupTest, RelativeThenFileNameAloneLetterCaseIgnored) {
    TempDir dir;
    const std::string folder = dir.File("model");
    Touch(folder + "/maps/wood.jpg");
    Touch(folder + "/jeep1.jpg");
    Touch(folder + "/mp5sil.bmp");
    // Relative to the model's folder, exactly and with either separator.
    EXPECT_EQ(FindTextureFile(folder, "maps/wood.jpg"), folder + "/maps/wood.jpg");
    EXPECT_EQ(FindTextureFile(folder, "maps\\wood.jpg"), folder + "/maps/wood.jpg");
    // Letter case ignored in every part below the folder.
    EXPECT_EQ(FindTextureFile(folder, "MAPS\\Wood.JPG"), folder + "/maps/wood.jpg");
    EXPECT_EQ(FindTextureFile(folder, "MP5SIL.BMP"), folder + "/mp5sil.bmp");
    // An absolute path of another machine: the file name alone, in the model's folder.
    EXPECT_EQ(FindTextureFile(folder, "C:\\models\\jeep1.jpg"), folder + "/jeep1.jpg");
    EXPECT_EQ(FindTextureFile(folder, "/home/someone/Jeep1.JPG"), folder + "/jeep1.jpg");
    // A relative path whose folders are missing falls back to the name alone; nothing found.
    EXPECT_EQ(FindTextureFile(folder, "other/jeep1.jpg"), folder + "/jeep1.jpg");
    EXPECT_EQ(FindTextureFile(folder, "missing.png"), "");
    EXPECT_EQ(FindTextureFile(folder, ""), "");
    // Only files inside the model's folder: an absolute path that exists here, or a path that
    // leaves the folder, is not taken as it stands (its name alone is looked up instead).
    Touch(dir.File("outside.png"));
    EXPECT_EQ(FindTextureFile(dir.File("elsewhere"), folder + "/jeep1.jpg"), "");
    EXPECT_EQ(FindTextureFile(folder, "../outside.png"), "");
    EXPECT_EQ(FindTextureFile(folder, "maps\\..\\..\\outside.png"), "");
    EXPECT_EQ(FindTextureFile(folder, "maps/../jeep1.jpg"), folder + "/jeep1.jpg");
}

TEST(ImageDecodeTest, LosslessFormatsGiveThePixelsBottomRowFirst) {
    TempDir dir;
    // 5 x 3 pixels, each its own colour; row 0 of the PNG is the top row.
    WIN_NMS::Image image;
    image.width = 5;
    image.height = 3;
    image.channels = 3;
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x)
            for (int c = 0; c < 3; ++c) image.pixels.push_back((unsigned char)(30 * x + 40 * y + 10 * c + 5));
    ASSERT_TRUE(WIN_NMS::WritePng(dir.File("a.png"), image));
    const std::string png = dir.File("a.png");
    // ImageMagick (scripts/setup installs it) writes the same pixels in the other formats.
    const std::vector<std::pair<std::string, std::string>> formats = {
        {"a.png", ""}, {"a.gif", "GIF:"}, {"a8.bmp", "BMP3:"}, {"a32.bmp", "BMP:"}};
    for (const auto& [name, prefix] : formats) {
        SCOPED_TRACE(name);
        if (!prefix.empty()) {
            const std::string extra = name == "a8.bmp" ? "-type palette " : name == "a32.bmp" ? "-alpha on -define bmp:format=bmp4 " : "";
            ASSERT_EQ(std::system(("convert " + png + " " + extra + prefix + dir.File(name) + " 2>/dev/null").c_str()), 0);
        }
        TEXTURE t;
        std::string error;
        ASSERT_TRUE(LOAD_3DS::LoadImageFile(dir.File(name), t, &error)) << error;
        ASSERT_EQ(t.width, 5);
        ASSERT_EQ(t.height, 3);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x)
                for (int c = 0; c < 3; ++c)
                    EXPECT_EQ(int(t.pixels[(std::size_t(2 - y) * 5 + x) * 3 + c]), 30 * x + 40 * y + 10 * c + 5);
    }
}

TEST(ImageDecodeTest, JpegAndTgaLoadAndBrokenFilesAreRefusedWithAReason) {
    TEXTURE t;
    std::string error;
    ASSERT_TRUE(LOAD_3DS::LoadImageFile("/usr/share/assimp/models/X/bottom.tga", t, &error)) << error;
    EXPECT_EQ(t.width, 256);
    ASSERT_TRUE(LOAD_3DS::LoadImageFile("/usr/share/assimp/models/OBJ/SpiderTex.jpg", t, &error)) << error;
    EXPECT_EQ(t.width, 249);
    EXPECT_EQ(t.height, 250);
    TempDir dir;
    std::ofstream(dir.File("bad.png")) << "\x89PNG\r\n\x1a\n broken";
    EXPECT_FALSE(LOAD_3DS::LoadImageFile(dir.File("bad.png"), t, &error));
    EXPECT_NE(error.find("bad.png"), std::string::npos) << error;
    EXPECT_EQ(t.width, 249);  // unchanged
    EXPECT_FALSE(LOAD_3DS::LoadImageFile(dir.File("missing.png"), t, &error));
}

}  // namespace
