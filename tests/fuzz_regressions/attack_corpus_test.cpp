// Files and values that an attacker (or an unlucky user) hands the programs: symbolic links out
// of a scene's or a model's folder, named pipes and devices where a file is named, and the
// refusal or bound each one must meet. Nothing here may hang: the opens are non-blocking.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/config.h"
#include "app/config_check.h"
#include "app/model_keys.h"
#include "errors/errors.h"
#include "errors/message_box.h"
#include "loaders/bmp_writer.h"
#include "loaders/model_scene.h"
#include "loaders/safe_open.h"
#include "loaders/texture.h"
#include "tests/loaders/model_files.h"

namespace {

namespace fs = std::filesystem;
using redowl_test::TempDir;

void Write(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// A scene folder beside a private folder, with every kind of thing a name can stand for.
struct HostileFolder {
    TempDir dir;
    std::string scene = dir.File("scene");
    std::string secret = dir.File("private/secret.png");
    HostileFolder() {
        Write(secret, "private bytes");
        Write(scene + "/maps/inside.png", "inside bytes");
        fs::create_symlink("maps/inside.png", scene + "/link_inside.png");
        fs::create_symlink(secret, scene + "/link_out.png");
        fs::create_directory_symlink(dir.File("private"), scene + "/linked_folder");
        fs::create_symlink("/dev/zero", scene + "/device.png");
        fs::create_symlink("missing.png", scene + "/dangling.png");
        ::mkfifo((scene + "/pipe.png").c_str(), 0600);
    }
};

TEST(AttackCorpusTest, OnlyRegularFilesInsideTheFolderAreOpenedAndNothingBlocks) {
    HostileFolder h;
    struct Case {
        std::string name;
        bool opens;
        std::string reason;  // part of the refusal
    };
    const std::vector<Case> cases = {
        {"maps/inside.png", true, ""},
        {"link_inside.png", true, ""},
        {"link_out.png", false, "leads out of"},
        {"linked_folder/secret.png", false, "leads out of"},
        {"device.png", false, "leads out of"},
        {"dangling.png", false, "leads out of"},
        {"pipe.png", false, "is a named pipe, not a file"},
        {"maps", false, "is a folder, not a file"},
        {"missing.png", false, "cannot be opened"},
    };
    // In a shuffled order, so that no case depends on an earlier one having run.
    std::vector<std::size_t> order(cases.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(40));
    for (const std::size_t i : order) {
        const Case& c = cases[i];
        const std::string path = h.scene + "/" + c.name;
        std::string why;
        std::vector<unsigned char> bytes;
        const bool read = LOAD_3DS::ReadRegularFile(path, h.scene, 1 << 20, bytes, &why);
        EXPECT_EQ(read, c.opens) << c.name << ": " << why;
        if (c.opens) EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "inside bytes") << c.name;
        else EXPECT_NE(why.find(c.reason), std::string::npos) << c.name << ": " << why;
    }
    // Without a folder (a file the user names), links are followed but a pipe is still refused.
    std::string why;
    const int fd = LOAD_3DS::OpenRegularFile(h.scene + "/link_out.png", {}, &why);
    EXPECT_GE(fd, 0) << why;
    if (fd >= 0) ::close(fd);
    EXPECT_EQ(LOAD_3DS::OpenRegularFile(h.scene + "/pipe.png", {}, &why), -1);
    // A size past the caller's limit is refused before anything is read.
    std::vector<unsigned char> bytes;
    EXPECT_FALSE(LOAD_3DS::ReadRegularFile(h.scene + "/maps/inside.png", h.scene, 4, bytes, &why));
    EXPECT_NE(why.find("larger than 4 bytes"), std::string::npos) << why;
}

TEST(AttackCorpusTest, RelativeNamesAreBoundedByTheCurrentFolder) {
    EXPECT_EQ(LOAD_3DS::ImpliedFolder("data/texture1.bmp"), ".");
    EXPECT_EQ(LOAD_3DS::ImpliedFolder("./release.cgf"), ".");
    EXPECT_EQ(LOAD_3DS::ImpliedFolder("../models/duck.obj"), "");
    EXPECT_EQ(LOAD_3DS::ImpliedFolder("/usr/share/x.3ds"), "");
}

// The scene writer around a model whose folder holds links out of it: nothing reached through
// one is copied (its bytes appear nowhere in the scene), each is named in a note, the writer
// does not wait on a pipe, and a private file inside keeps its mode in the copy.
TEST(AttackCorpusTest, TheWriterCopiesNothingFromOutsideTheModelsFolder) {
    TempDir dir;
    const std::string marker = "PRIVATE-40-MARKER";
    const fs::path model = dir.File("model"), outside = dir.File("outside");
    fs::create_directories(model);
    Write((outside / "secret.png").string(), marker);
    Write((outside / "extra.mtl").string(), "newmtl x\nmap_Kd secret.png\n" + marker + "\n");
    const unsigned char rgb[3] = {1, 2, 3};
    ASSERT_TRUE(LOAD_3DS::WriteBMP24((model / "inside.bmp").string(), 1, 1, rgb));
    ::chmod((model / "inside.bmp").c_str(), 0600);
    fs::create_symlink(outside / "secret.png", model / "link_out.png");
    fs::create_directory_symlink(outside, model / "linked");
    fs::create_symlink(outside / "extra.mtl", model / "extra.mtl");
    ::mkfifo((model / "pipe.png").c_str(), 0600);
    Write((model / "m.obj").string(), "mtllib m.mtl extra.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\n"
                                      "usemtl a\nf 1 2 3\nusemtl b\nf 2 4 3\nusemtl c\nf 1 2 4\nusemtl d\nf 1 4 3\n");
    Write((model / "m.mtl").string(), "newmtl a\nmap_Kd inside.bmp\nnewmtl b\nmap_Kd link_out.png\n"
                                      "newmtl c\nmap_Kd linked/secret.png\nnewmtl d\nmap_Kd pipe.png\n");
    const fs::path scene = dir.File("scene");
    std::string error;
    std::vector<std::string> notes;
    ASSERT_TRUE(LOAD_3DS::WriteModelScene((model / "m.obj").string(), scene.string(), false, &error, nullptr, &notes))
        << error;
    for (const auto& entry : fs::recursive_directory_iterator(scene)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(bytes.find(marker), std::string::npos) << entry.path() << " holds bytes from outside";
    }
    std::string all;
    for (const std::string& note : notes) all += note + "\n";
    EXPECT_NE(all.find("link_out.png leads out of"), std::string::npos) << all;
    struct stat info {};
    ASSERT_EQ(::stat((scene / "data" / "inside.bmp").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((scene / "data" / "m.obj").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

// The viewer's own readers in a scene folder whose fixed files are a pipe, a link out of it or
// a BMP that claims 20000 x 20000 pixels (a sparse file of a few kilobytes): each is refused
// with its message, at once.
TEST(AttackCorpusTest, TheViewersReadersRefusePipesLinksOutAndOversizedBmps) {
    TempDir dir;
    const fs::path scene = dir.File("scene");
    fs::create_directories(scene / "data");
    const unsigned char rgb[3] = {1, 2, 3};
    ASSERT_TRUE(LOAD_3DS::WriteBMP24(dir.File("outside.bmp"), 1, 1, rgb));
    ::mkfifo((scene / "data" / "pipe.bmp").c_str(), 0600);
    ::mkfifo((scene / "release.cgf").c_str(), 0600);
    fs::create_symlink(dir.File("outside.bmp"), scene / "data" / "link.bmp");
    // 20000 x 20000, 24 bits, pixels at 54: only the header is written, the rest is a hole.
    std::vector<unsigned char> big = LOAD_3DS::EncodeBMP24(1, 1, rgb);
    for (const int at : {18, 22}) {
        const std::uint32_t side = 20000;
        for (int k = 0; k < 4; ++k) big[std::size_t(at + k)] = static_cast<unsigned char>(side >> (8 * k));
    }
    Write((scene / "data" / "big.bmp").string(), std::string(big.begin(), big.begin() + 54));
    fs::resize_file(scene / "data" / "big.bmp", 54 + 60000ull * 20000ull);

    const fs::path previous = fs::current_path();
    fs::current_path(scene);
    TIRN_ERROR::BoxRecorder recorder;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"data/pipe.bmp", "Can not open data/pipe.bmp"},
        {"data/link.bmp", "Can not open data/link.bmp"},
        {"data/big.bmp", "data/big.bmp is 20000 x 20000 pixels, too large"},
    };
    for (const auto& [file, message] : cases) {
        TEXTURE texture;
        EXPECT_THROW(texture.LoadBMP(file.c_str()), TIRN_ERROR::File_Error) << file;
        ASSERT_FALSE(recorder.Boxes().empty());
        EXPECT_EQ(recorder.Boxes().back().second, message);
        EXPECT_EQ(texture.pixels, nullptr);
    }
    CONFIG::Lexer lexer;
    EXPECT_THROW(lexer.ReadFile("release.cgf"), TIRN_ERROR::File_Error);
    EXPECT_EQ(recorder.Boxes().back().second, "Can not open file release.cgf");
    fs::current_path(previous);
}

// Values no scene needs: each key is refused by name or bounded, and a value of megabytes
// comes back from the message code as a box of at most its lines and a short quote.
TEST(AttackCorpusTest, HugeAndLongValuesAreRefusedByNameOrBounded) {
    std::mt19937 random(40);
    const std::vector<std::string> huge = {"1e300", "-1e39", "1e39", "inf", "nan", "1000001"};
    TIRN_ERROR::BoxRecorder recorder;
    for (const char* suffix : {"_fit", "_floor", "_offset"}) {
        const std::string key = std::string("scene.model0") + suffix;
        std::string value = huge[random() % huge.size()];
        if (std::string(suffix) == "_offset") value = "0," + value + ",0";
        CONFIG::Lexer lexer;
        lexer.Set(key, value);
        EXPECT_THROW(WIN_NMS::ReadModelOptions(lexer, 0), TIRN_ERROR::Error) << key << " = " << value;
        ASSERT_FALSE(recorder.Boxes().empty());
        EXPECT_EQ(recorder.Boxes().back().second.rfind(key + " is " + value + ", but it must be", 0), 0u)
            << recorder.Boxes().back().second;
    }
    // Window sides: clamped to what the drivers draw, with a line that says so.
    CONFIG::Lexer window;
    window.Set("win.width", "30000");
    window.Set("win.height", "600");
    EXPECT_EQ(WIN_NMS::ConfiguredWindowSide(30000), WIN_NMS::kMaxWindowSide);
    EXPECT_EQ(WIN_NMS::ConfiguredWindowSide(600), 600);
    const std::vector<std::string> warnings = CONFIG::ConfigurationWarnings(window, "release.cgf");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "release.cgf: win.width is 30000, more than the 16384 pixels a window can have: 16384 is used");
    // A 10 MB value: one word, and words with blanks and line ends.
    std::string word(10'000'000, 'x'), words;
    for (std::size_t i = 0; i < 2'000'000; ++i) words += std::string(1 + random() % 9, 'a') + (random() % 50 ? " " : "\n");
    for (const std::string& value : {word, words}) {
        const std::string box = TIRN_ERROR::WrapBoxText("scene.model0_up is " + value + ", but it must be x");
        std::size_t lines = 1, longest = 0, run = 0;
        for (const char c : box) {
            if (c == '\n') ++lines, run = 0;
            else longest = std::max(longest, ++run);
        }
        EXPECT_LE(lines, TIRN_ERROR::kBoxLines);
        EXPECT_LE(longest, TIRN_ERROR::kBoxColumns);
        EXPECT_EQ(box.substr(box.size() - 3), "...");
        const std::string quoted = TIRN_ERROR::ShortenText(value, TIRN_ERROR::kMaxQuotedValue);
        EXPECT_EQ(quoted.size(), TIRN_ERROR::kMaxQuotedValue);
        EXPECT_EQ(quoted.substr(0, 10), value.substr(0, 10));
        EXPECT_LE(TIRN_ERROR::BoxLine("Error: ", value).size(), TIRN_ERROR::kMaxBoxLine + 7);
    }
}

}  // namespace
