// BMP loading: layout, channel and row order, every refusal and its message, copies.
#include "loaders/texture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "errors/errors.h"
#include "loaders/bmp_writer.h"
#include "model_files.h"

using LOAD_3DS::EncodeBMP24;
using LOAD_3DS::WriteBytes;
using redowl_test::LastBox;
using redowl_test::TempDir;

namespace {

void PutU32(std::vector<unsigned char>& b, std::size_t at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) b[at + std::size_t(k)] = std::uint8_t(v >> (8 * k));
}
void PutU16(std::vector<unsigned char>& b, std::size_t at, std::uint16_t v) {
    b[at] = std::uint8_t(v);
    b[at + 1] = std::uint8_t(v >> 8);
}

std::vector<unsigned char> Ramp(int w, int h) {
    std::vector<unsigned char> rgb(std::size_t(w) * h * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = std::uint8_t(7 * i + 1);
    return rgb;
}

// Loads bytes written to a file and returns the box it showed ("" when it loaded).
struct LoadResult {
    bool thrown = false;
    std::string caption, text;
};
LoadResult Load(TEXTURE& t, const std::string& path) {
    TIRN_ERROR::BoxRecorder recorder;
    LoadResult r;
    try {
        EXPECT_EQ(t.LoadBMP(path.c_str()), 1);
    } catch (const TIRN_ERROR::File_Error&) {
        r.thrown = true;
    }
    std::tie(r.caption, r.text) = LastBox(recorder);
    EXPECT_LE(recorder.Boxes().size(), 1u);
    return r;
}

}  // namespace

TEST(TextureLoad, StrideAndPaddingAreDroppedAndChannelsReversed) {
    TempDir dir;
    for (auto [w, h, stride] : {std::tuple{3, 2, 12}, std::tuple{4, 1, 12}, std::tuple{1, 3, 4}, std::tuple{5, 2, 16}}) {
        const auto rgb = Ramp(w, h);
        auto bytes = EncodeBMP24(w, h, rgb.data());
        ASSERT_EQ(bytes.size(), 54u + std::size_t(stride) * h) << w << "x" << h;
        // Padding filled with junk must not reach the image.
        for (int r = 0; r < h; ++r)
            for (int k = w * 3; k < stride; ++k) bytes[54 + std::size_t(r * stride + k)] = 0xAB;
        ASSERT_TRUE(WriteBytes(dir.File("a.bmp"), bytes));
        TEXTURE t;
        ASSERT_FALSE(Load(t, dir.File("a.bmp")).thrown);
        EXPECT_EQ(t.width, w);
        EXPECT_EQ(t.height, h);
        EXPECT_EQ(0, std::memcmp(t.pixels, rgb.data(), rgb.size())) << w << "x" << h;
        EXPECT_EQ(t.fileName, dir.File("a.bmp"));
    }
}

TEST(TextureLoad, FileBytesBgrBecomeRgbAndTheFirstRowIsTheBottomRow) {
    TempDir dir;
    // 1 x 2 image written by hand: stored row 0 (bottom) = bytes 10 20 30, row 1 = 1 2 3.
    std::vector<unsigned char> bytes(54 + 8, 0);
    bytes[0] = 'B';
    bytes[1] = 'M';
    PutU32(bytes, 10, 54);
    PutU32(bytes, 14, 40);
    PutU32(bytes, 18, 1);
    PutU32(bytes, 22, 2);
    PutU16(bytes, 28, 24);
    PutU32(bytes, 30, 3);  // compression is not looked at
    const unsigned char rows[8] = {10, 20, 30, 0, 1, 2, 3, 0};
    std::memcpy(bytes.data() + 54, rows, 8);
    ASSERT_TRUE(WriteBytes(dir.File("b.bmp"), bytes));
    TEXTURE t;
    ASSERT_FALSE(Load(t, dir.File("b.bmp")).thrown);
    const unsigned char expected[6] = {30, 20, 10, 3, 2, 1};
    EXPECT_EQ(0, std::memcmp(t.pixels, expected, 6));
}

TEST(TextureLoad, EveryRefusalHasItsMessage) {
    TempDir dir;
    const auto good = EncodeBMP24(4, 4, Ramp(4, 4).data());
    struct Case {
        const char* what;
        std::vector<unsigned char> bytes;
        std::string caption;
        std::string text;  // with NAME for the file name
    };
    auto with = [&](auto edit) {
        auto b = good;
        edit(b);
        return b;
    };
    const std::string header = "Can not ReadFileHeader, perhaps the file NAME was damaged";
    const std::string noPixels = "The file NAME have NO PIXELS or was damaged";
    const std::string damaged = "The file NAME was damaged";
    const std::string depth = "bmp files must have 24bp format, can not load NAME";
    std::vector<Case> cases = {
        {"empty file", {}, "Image_File_Error: ", header},
        {"short file header", std::vector<unsigned char>(good.begin(), good.begin() + 10), "Image_File_Error: ", header},
        {"no BM", with([](auto& b) { b[1] = 'A'; }), "Image_File_Error: ", header},
        {"124-byte header", with([](auto& b) { PutU32(b, 14, 124); }), "Image_File_Error: ", header},
        {"info header cut", std::vector<unsigned char>(good.begin(), good.begin() + 30), "Image_File_Error: ", header},
        {"8 bits", with([](auto& b) { PutU16(b, 28, 8); }), "Image_File_Error: ", depth},
        {"32 bits", with([](auto& b) { PutU16(b, 28, 32); }), "Image_File_Error: ", depth},
        {"palette offset", with([](auto& b) { PutU32(b, 10, 1078); }), "Image_File_Error: ", noPixels},
        {"rows cut", std::vector<unsigned char>(good.begin(), good.end() - 5), "Image_File_Error: ", damaged},
        {"no rows at all", std::vector<unsigned char>(good.begin(), good.begin() + 54), "Image_File_Error: ", damaged},
        {"width 0", with([](auto& b) { PutU32(b, 18, 0); }), "Image_File_Error: ", noPixels},
        {"height 0", with([](auto& b) { PutU32(b, 22, 0); }), "Image_File_Error: ", noPixels},
        {"top-down", with([](auto& b) { PutU32(b, 22, std::uint32_t(-4)); }), "Image_File_Error: ", noPixels},
        {"negative width", with([](auto& b) { PutU32(b, 18, std::uint32_t(-4)); }), "Image_File_Error: ", noPixels},
        // 54 bytes claiming 100000 x 100000 pixels: refused before 30 GB are asked for.
        {"huge", with([](auto& b) { b.resize(54); PutU32(b, 18, 100000); PutU32(b, 22, 100000); }),
         "Image_File_Error: ", damaged},
        {"overflowing size", with([](auto& b) { PutU32(b, 18, 0x7FFFFFFF); PutU32(b, 22, 0x7FFFFFFF); }),
         "Image_File_Error: ", damaged},
    };
    for (const Case& c : cases) {
        const std::string name = dir.File("bad.bmp");
        ASSERT_TRUE(WriteBytes(name, c.bytes));
        TEXTURE t;
        const LoadResult r = Load(t, name);
        std::string text = c.text;
        text.replace(text.find("NAME"), 4, name);
        EXPECT_TRUE(r.thrown) << c.what;
        EXPECT_EQ(r.caption, c.caption) << c.what;
        EXPECT_EQ(r.text, text) << c.what;
        EXPECT_EQ(t.fileName, name) << c.what;  // kept on failure
        EXPECT_EQ(t.pixels, nullptr) << c.what;
    }
    TEXTURE t;
    const LoadResult missing = Load(t, dir.File("missing.bmp"));
    EXPECT_TRUE(missing.thrown);
    EXPECT_EQ(missing.caption, "File_Error: ");
    EXPECT_EQ(missing.text, "Can not open " + dir.File("missing.bmp"));
}

TEST(TextureLoad, ReloadReplacesTheImage) {
    TempDir dir;
    ASSERT_TRUE(LOAD_3DS::WriteBMP24(dir.File("a.bmp"), 2, 2, Ramp(2, 2).data()));
    ASSERT_TRUE(LOAD_3DS::WriteBMP24(dir.File("b.bmp"), 3, 1, Ramp(3, 1).data()));
    TEXTURE t;
    Load(t, dir.File("a.bmp"));
    Load(t, dir.File("b.bmp"));
    EXPECT_EQ(t.width, 3);
    EXPECT_EQ(t.height, 1);
    EXPECT_EQ(0, std::memcmp(t.pixels, Ramp(3, 1).data(), 9));
}

TEST(TextureRecord, ProvisionalNamesCountDefaultConstructionsOnly) {
    const GLuint next = TEXTURE::PeekProvisionalName();
    TEXTURE a;
    TEXTURE b;
    EXPECT_EQ(a.textureName, next);
    EXPECT_EQ(b.textureName, next + 1);
    EXPECT_TRUE(a.firstUpload);
    EXPECT_EQ(a.pixels, nullptr);
    EXPECT_NE(a.quadric, nullptr);  // made without any GL context
    TEXTURE c(a);
    c = b;
    EXPECT_EQ(TEXTURE::PeekProvisionalName(), next + 2);
}

TEST(TextureRecord, CopiesOwnTheirPixelsAndShareTheRest) {
    TempDir dir;
    ASSERT_TRUE(LOAD_3DS::WriteBMP24(dir.File("a.bmp"), 3, 2, Ramp(3, 2).data()));
    TEXTURE a;
    Load(a, dir.File("a.bmp"));
    TEXTURE b(a);
    ASSERT_NE(b.pixels, nullptr);
    EXPECT_NE(b.pixels, a.pixels);
    EXPECT_EQ(0, std::memcmp(b.pixels, a.pixels, 18));
    EXPECT_EQ(b.quadric, a.quadric);
    EXPECT_EQ(b.textureName, a.textureName);
    EXPECT_EQ(b.fileName, a.fileName);
    a.pixels[0] ^= 0xFF;
    EXPECT_NE(a.pixels[0], b.pixels[0]);

    TEXTURE empty;
    TEXTURE c;
    c = a;
    EXPECT_EQ(c.width, 3);
    c = empty;  // an image-less source leaves no pixels
    EXPECT_EQ(c.pixels, nullptr);
    c = a;
    c = c;  // self-assignment keeps the image
    ASSERT_NE(c.pixels, nullptr);
    EXPECT_EQ(0, std::memcmp(c.pixels, a.pixels, 18));
}
