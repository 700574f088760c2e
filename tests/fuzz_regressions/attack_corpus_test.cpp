// Files and values that an attacker (or an unlucky user) hands the programs: symbolic links out
// of a scene's or a model's folder, named pipes and devices where a file is named, and the
// refusal or bound each one must meet. Nothing here may hang: the opens are non-blocking.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "loaders/safe_open.h"
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

}  // namespace
