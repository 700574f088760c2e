// Replays every input the fuzz targets found (and that was then fixed) through the same entry
// points as the targets, in the normal test build: tests/fuzz_regressions/<target>/<file>.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "fuzz/fuzz_entry.h"
#include "loaders/demo_scene.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> KeptInputs(const std::string& target) {
    std::vector<fs::path> files;
    const fs::path dir = fs::path(REDOWL_SOURCE_DIR) / "tests" / "fuzz_regressions" / target;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::uint8_t> Bytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs entry on every kept input of target; returns how many there were (every target keeps
// some: a test that replays nothing would pass whatever the readers do).
template <class Entry>
std::size_t Replay(const std::string& target, Entry entry) {
    const auto files = KeptInputs(target);
    for (const fs::path& file : files) {
        const std::vector<std::uint8_t> bytes = Bytes(file);
        EXPECT_EQ(entry(bytes.data(), bytes.size()), "") << file;
    }
    return files.size();
}

}  // namespace

TEST(FuzzRegressions, KeptConfigurationInputs) {
    EXPECT_GT(Replay("config", [](const std::uint8_t* d, std::size_t n) { return redowl_fuzz::ConfigInput(d, n); }), 0u);
}

TEST(FuzzRegressions, KeptModelInputs) {
    EXPECT_GT(Replay("3ds", [](const std::uint8_t* d, std::size_t n) {
        Mesh mesh;
        return redowl_fuzz::ModelInput(mesh, d, n);
    }), 0u);
}

TEST(FuzzRegressions, KeptImageInputs) {
    EXPECT_GT(Replay("bmp", [](const std::uint8_t* d, std::size_t n) {
        TEXTURE texture;
        return redowl_fuzz::ImageInput(texture, d, n);
    }), 0u);
}

// Inputs on which an assimp reader itself crashes (the ASE reader reads out of bounds on one):
// the import runs in a child process, so each is one "Can not load" refusal, not a crash.
TEST(FuzzRegressions, KeptImportInputs) {
    EXPECT_GT(Replay("import", [](const std::uint8_t* d, std::size_t n) {
        Mesh mesh;
        return redowl_fuzz::ImportInput(mesh, d, n);
    }), 0u);
}

// PLY files of triangle strips as our reader takes them: cut short, naming vertices that are not
// there, counting more than they hold.
TEST(FuzzRegressions, KeptPlyInputs) {
    EXPECT_GT(Replay("ply", [](const std::uint8_t* d, std::size_t n) {
        Mesh mesh;
        return redowl_fuzz::PlyInput(mesh, d, n);
    }), 0u);
}

// Scenes as a reader might hand them over, built from seeded random bytes: indices out of range,
// faces of 0 to 4 corners, non-finite values, materials and nodes naming what is not there,
// embedded images that are not images. Each is refused with the viewer's message or loads whole.
TEST(FuzzRegressions, RandomScenesConvertSafely) {
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> byte(0, 255), length(0, 2048);
    int loaded = 0;
    for (int run = 0; run < 1500; ++run) {
        std::vector<std::uint8_t> bytes(std::size_t(length(random)));
        for (std::uint8_t& b : bytes) b = std::uint8_t(byte(random));
        Mesh mesh;
        ASSERT_EQ(redowl_fuzz::SceneInput(mesh, bytes.data(), bytes.size()), "") << "run " << run;
        loaded += mesh.triangleCount > 0;
    }
    EXPECT_GT(loaded, 100) << "too few random scenes had triangles to load";
}

// Replies of the import helper with random bytes changed, cut or inserted, as a corrupted helper
// might send them: each ends whole, cut short or malformed within its cap, and a whole one
// loads as a whole mesh.
TEST(FuzzRegressions, MutatedRepliesAreReadSafely) {
    const std::vector<unsigned char> sound = redowl_fuzz::EncodeReply(redowl_fuzz::ReplyOf(LOAD_3DS::MakeTorusKnot(12, 6), true));
    std::mt19937 random(20260115);
    int loaded = 0;
    for (int run = 0; run < 1500; ++run) {
        std::vector<unsigned char> bytes = sound;
        for (int k = std::uniform_int_distribution<int>(0, 3)(random); k >= 0; --k) {
            const std::size_t at = std::uniform_int_distribution<std::size_t>(0, bytes.size() - 1)(random);
            switch (random() % 4) {
                case 0: bytes[at] = std::uint8_t(random()); break;
                case 1: bytes[at] ^= std::uint8_t(1u << (random() % 8)); break;
                case 2: bytes.resize(at + 1); break;
                default: bytes.insert(bytes.begin() + std::ptrdiff_t(at), std::uint8_t(random()));
            }
        }
        Mesh mesh;
        ASSERT_EQ(redowl_fuzz::ReplyInput(mesh, bytes.data(), bytes.size()), "") << "run " << run;
        loaded += mesh.triangleCount > 0;
    }
    EXPECT_GT(loaded, 100) << "too few mutated replies stayed whole";
}
