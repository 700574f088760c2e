// One reference picture per kind of material, traced as a user's model (the scene writer's
// surroundings, 16 samples): matte, glossy, mirror, see-through and glowing spheres from an
// OBJ/MTL file, a rough gold metal and a smooth red dielectric from a glTF file
// (tests/data/kinds/make_kinds.py writes both; scripts/update-references rewrites the pictures).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "app/png_image.h"
#include "tests/app/process_support.h"

namespace {

using namespace redowl_test;

const fs::path kData = fs::path(REDOWL_SOURCE_DIR) / "tests" / "data";

TEST(MaterialKindsTest, EachKindLooksAsItsReference) {
    PrivateDisplay display;
    ASSERT_TRUE(display.ok()) << "no private X server could be started";
    TempDir dir;
    ASSERT_EQ(Shell("python3 '" + (kData / "kinds" / "make_kinds.py").string() + "' '" + dir.path().string() +
                    "' && echo written"),
              "written");
    for (const std::string& model : {"kinds.obj", "metal_rough.gltf"}) {
        SCOPED_TRACE(model);
        const std::string name = fs::path(model).stem().string() + "_traced";
        Child child(SnapshotPath(),
                    {"--mode", "traced", "--samples", "16", "--light-angle", "1", "--budget-ms", "0", "--out",
                     name + ".png", model},
                    dir.path(), true, true);
        int status = 0;
        ASSERT_TRUE(child.WaitForExit(std::chrono::seconds(300), &status));
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadAll(dir.path() / "stderr.txt");
        WIN_NMS::Image got, want;
        std::string error;
        ASSERT_TRUE(WIN_NMS::ReadPng((dir.path() / (name + ".png")).string(), got, &error)) << error;
        ASSERT_TRUE(WIN_NMS::ReadPng((kData / "reference" / (name + ".png")).string(), want, &error)) << error;
        ASSERT_EQ(got.pixels.size(), want.pixels.size());
        // The tracer's pictures are the same bytes on any machine but for the rasteriser's
        // part (none here) and the last bits of a library's mathematics: a kind drawn wrongly
        // moves thousands of pixels by far more.
        int beyond = 0;
        for (std::size_t p = 0; p < got.pixels.size(); p += std::size_t(got.channels)) {
            bool far = false;
            for (int c = 0; c < got.channels; ++c) far = far || std::abs(int(got.pixels[p + c]) - int(want.pixels[p + c])) > 24;
            beyond += far;
        }
        EXPECT_LE(beyond, got.width * got.height / 200) << name << " differs (scripts/update-references)";
        EXPECT_LT(MeanDifference(got, want), 2.0) << name;
    }
}

}  // namespace
