// Configuration mistakes named for the user, and the per-model keys' refusals.
#include "app/config_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/config.h"
#include "app/model_keys.h"
#include "errors/errors.h"
#include "errors/message_box.h"

namespace {

namespace fs = std::filesystem;

CONFIG::Lexer Read(const std::string& text) {
    std::string pattern = (fs::temp_directory_path() / "redowl_check_XXXXXX").string();
    const fs::path dir = mkdtemp(pattern.data());
    std::ofstream(dir / "release.cgf", std::ios::binary) << text;
    CONFIG::Lexer lexer;
    lexer.ReadFile((dir / "release.cgf").string());
    fs::remove_all(dir);
    return lexer;
}

TEST(ConfigCheck, UnknownKeysGetTheNearestKnownKeyAndGluedNamesAHint) {
    const std::string text =
        "scene { N_modles = 3 model0_fti = 6 model3_texture = x.bmp }\n"
        "tracer.threads_num = 4\n"
        "win { width=512 height = 512 }\n";
    CONFIG::Lexer lexer = Read(text);
    const std::vector<std::string> lines = CONFIG::ConfigurationWarnings(lexer, "release.cgf");
    // The glued word stays on the name stack and joins the next key.
    const std::vector<std::string> want{
        "release.cgf: unknown key scene.N_modles (did you mean scene.N_models?)",
        "release.cgf: unknown key scene.model0_fti (did you mean scene.model0_fit?)",
        "release.cgf: unknown key win.width=512height (did you mean win.height?)",
        "release.cgf: width=512 is one word and assigns nothing (did you mean width = 512? \"=\" needs a blank on "
        "each side)"};
    EXPECT_EQ(lines, want);
    // The reader's results are as they always were.
    EXPECT_EQ(lexer.Entries().size(), 5u);
    EXPECT_EQ(lexer.GetString("win.width=512height"), "512");
    EXPECT_EQ(lexer.GetInt("tracer.threads_num"), 4);

    // Many stray keys are counted, not listed.
    std::string many;
    for (int i = 0; i < 30; ++i) many += "k" + std::to_string(i) + " = 1\n";
    const auto counted = CONFIG::ConfigurationWarnings(Read(many), "release.cgf");
    ASSERT_EQ(counted.size(), CONFIG::kMaxUnknownKeysNamed + 1);
    EXPECT_EQ(counted.back(), "release.cgf: and 10 more unknown keys");
}

TEST(ConfigCheck, PerModelKeysReadTheirValuesAndRefuseOthersWithABox) {
    CONFIG::Lexer ok = Read("scene.model1_fit = 6 scene.model1_up = -x scene.model1_offset = 1,-2.5,3e0 "
                            "scene.model1_meshes = all scene.model1_smoothing = groups");
    const ORVA_GRAPHICS::ModelOptions o = WIN_NMS::ReadModelOptions(ok, 1);
    EXPECT_EQ(o.fit, 6.0f);
    EXPECT_EQ(o.up, ORVA_GRAPHICS::UpAxis::NegX);
    EXPECT_EQ(o.offset[0], 1.0f);
    EXPECT_EQ(o.offset[1], -2.5f);
    EXPECT_EQ(o.offset[2], 3.0f);
    EXPECT_TRUE(o.allMeshes);
    EXPECT_EQ(o.smoothing, ORVA_GRAPHICS::Smoothing::Groups);
    EXPECT_TRUE(WIN_NMS::ReadModelOptions(ok, 0).IsDefault());
    EXPECT_EQ(ok.Entries().size(), 5u);  // reading absent keys inserted nothing
    // A model in its own materials: its file's normals, else a crease of 40 degrees; the floor in
    // the model's own coordinates (model 0 is moved down by 1.65 at assembly).
    CONFIG::Lexer own = Read("scene.model0 = m.obj scene.model0_floor = -5 scene.model3 = a.3ds scene.model3_crease = 10");
    const ORVA_GRAPHICS::ModelOptions m = WIN_NMS::ReadModelOptions(own, 0);
    EXPECT_EQ(m.smoothing, ORVA_GRAPHICS::Smoothing::Groups);
    EXPECT_EQ(m.crease, 40.0f);
    EXPECT_TRUE(m.onFloor);
    EXPECT_FLOAT_EQ(m.floorY, -5.0f + 1.65f);
    const ORVA_GRAPHICS::ModelOptions fixed = WIN_NMS::ReadModelOptions(own, 3);
    EXPECT_EQ(fixed.smoothing, ORVA_GRAPHICS::Smoothing::Position);
    EXPECT_EQ(fixed.crease, 10.0f);

    TIRN_ERROR::BoxRecorder recorder;
    for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
             {"scene.model0_up = w", "scene.model0_up is w, but it must be x, y, z, -x, -y or -z"},
             {"scene.model0_crease = 200", "scene.model0_crease is 200, but it must be an angle in degrees from 0 to 180, such as 40"},
             {"scene.model0_floor = low", "scene.model0_floor is low, but it must be a height in the scene from "
                                          "-1000000 to 1000000, such as -5 (the floor's top)"},
             {"scene.model0_floor = 1e39", "scene.model0_floor is 1e39, but it must be a height in the scene from "
                                           "-1000000 to 1000000, such as -5 (the floor's top)"},
             {"scene.model0_offset = 1,2", "scene.model0_offset is 1,2, but it must be three numbers from -1000000 to "
                                           "1000000 separated by commas, such as 0,-2.5,0"},
             {"scene.model0_offset = 0,1e39,0", "scene.model0_offset is 0,1e39,0, but it must be three numbers from "
                                                "-1000000 to 1000000 separated by commas, such as 0,-2.5,0"},
             {"scene.model0_meshes = every", "scene.model0_meshes is every, but it must be first or all"},
             {"scene.model0_fit = -1", "scene.model0_fit is -1, but it must be a size in units from 0 to 1000000, "
                                       "such as 6 (0: the file's own size)"},
             {"scene.model0_fit = 1e300", "scene.model0_fit is 1e300, but it must be a size in units from 0 to 1000000, "
                                          "such as 6 (0: the file's own size)"}}) {
        CONFIG::Lexer bad = Read(text);
        EXPECT_THROW(WIN_NMS::ReadModelOptions(bad, 0), TIRN_ERROR::Error) << text;
        ASSERT_FALSE(recorder.Boxes().empty());
        EXPECT_EQ(recorder.Boxes().back().second, message);
    }
}

}  // namespace
