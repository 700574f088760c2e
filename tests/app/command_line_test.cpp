// The command lines of the three programs (--help, --version, unknown options) and the folders
// the viewer may write in: `redowl DIR` and `redowl FILE` leave the folder they were started
// from, and a user's Err.txt there, as they were.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "tests/app/process_support.h"

namespace {

using namespace redowl_test;

constexpr auto kExitTimeout = std::chrono::seconds(60);

// The table's parser: --help and --version win, options are the program's own, values follow
// their options, and the shared choices are checked in one place.
TEST(CommandLineTest, TheTableReadsEachProgramsOptionsAndTheSharedChoices) {
    using L = WIN_NMS::CommandLine;
    struct Case {
        WIN_NMS::Program program;
        std::vector<const char*> args;
        L::Action action;
        std::vector<std::string> places;
        std::string why;  // the parser's, or else ReadModelChoices'
    };
    TempDir dir;  // a folder: --up and --texture do not go with it
    const std::string folder = dir.path().string();
    const auto V = WIN_NMS::kViewerProgram, S = WIN_NMS::kSnapshotProgram, D = WIN_NMS::kSceneProgram;
    const std::vector<Case> cases = {
        {V, {}, L::kRun, {}, ""},
        {V, {"--", "-odd name"}, L::kRun, {"-odd name"}, ""},
        {V, {"-"}, L::kRun, {"-"}, ""},  // a file named "-" is a place, not an option
        {V, {"a.obj", "--version"}, L::kVersion, {}, ""},
        {V, {"--bogus", "-h"}, L::kHelp, {}, ""},
        {V, {"--", "--help"}, L::kRun, {"--help"}, ""},
        {V, {"--bogus"}, L::kBad, {}, "unknown option --bogus"},
        {V, {"--out", "x.png"}, L::kBad, {"x.png"}, "unknown option --out"},  // the snapshot's, not the viewer's
        {V, {""}, L::kBad, {}, "an empty folder or file name"},
        {V, {"a.obj", "b.ply", "c.stl"}, L::kRun, {"a.obj", "b.ply", "c.stl"}, ""},
        {V, {"a.obj", "b.ply", "c.stl", "d.obj"}, L::kRun, {"a.obj", "b.ply", "c.stl", "d.obj"},
         "at most 3 model files at once (the scene's other two models are the sky and the floor)"},
        {V, {"--size", "800x600", "a.obj"}, L::kRun, {"a.obj"}, ""},
        {V, {"--size", "800"}, L::kRun, {}, "--size is WxH in pixels from 1 to 16384, such as 800x600, not 800"},
        {V, {"--size", "0x600"}, L::kRun, {}, "--size is WxH in pixels from 1 to 16384, such as 800x600, not 0x600"},
        {V, {"--size"}, L::kBad, {}, "missing value after --size"},
        {S, {"--up", "-z", "a.obj"}, L::kRun, {"a.obj"}, ""},
        {S, {"--up", "w", "a.obj"}, L::kRun, {"a.obj"}, "--up is x, y, z, -x, -y or -z, not w"},
        {S, {"--up", "z"}, L::kRun, {}, "--up goes with model files, not with a scene folder"},
        {S, {"--texture", "t.png", folder.c_str()}, L::kRun, {folder}, "--texture goes with model files, not with a scene folder"},
        {V, {folder.c_str(), "a.obj"}, L::kRun, {folder, "a.obj"},
         "a scene folder (" + folder + ") is opened alone, without other folders or files"},
        {S, {"--texture", "t.png", "--no-marker", "--out", "o.png", "a.obj"}, L::kRun, {"a.obj"}, ""},
        {D, {"--model", "a.obj", "--up", "x", "--keep-configuration", "dir"}, L::kRun, {"dir"}, ""},
        {D, {"--texture", "t.png", "dir"}, L::kBad, {"t.png", "dir"}, "unknown option --texture"},
        // "--name=value" for every option that takes a value; none for the others.
        {V, {"--texture=t.png", "--up=z", "a.obj"}, L::kRun, {"a.obj"}, ""},
        {V, {"--texture=", "a.obj"}, L::kRun, {"a.obj"}, "--texture needs an image file"},
        {V, {"--no-marker=1"}, L::kBad, {}, "--no-marker takes no value"},
        {V, {"--bogus=3"}, L::kBad, {}, "unknown option --bogus"},
        {V, {"--mode", "fancy"}, L::kRun, {}, "--mode is hybrid or traced, not fancy"},
        {D, {"--model=a.obj", "dir"}, L::kRun, {"dir"}, ""},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv{"program"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
        const L line = WIN_NMS::ParseCommandLine(c.program, int(argv.size()), argv.data());
        EXPECT_EQ(line.action, c.action);
        if (c.action == L::kHelp || c.action == L::kVersion) continue;
        EXPECT_EQ(line.places, c.places);
        std::string why = line.why;
        WIN_NMS::ModelChoices choices;
        if (c.action == L::kRun && c.program != D && !WIN_NMS::ReadModelChoices(line, choices, &why)) {
            EXPECT_NE(why, "");
        }
        EXPECT_EQ(why, c.why);
    }
    // The values, as read.
    const char* argv[] = {"redowl", "--size", "640x480", "--up", "-x", "--texture", "wood.jpg", "m.obj", "--size", "32x16"};
    const L line = WIN_NMS::ParseCommandLine(V, 10, argv);
    WIN_NMS::ModelChoices choices;
    ASSERT_TRUE(WIN_NMS::ReadModelChoices(line, choices, nullptr));
    EXPECT_EQ(choices.width, 32);  // the last one given
    EXPECT_EQ(choices.height, 16);
    EXPECT_TRUE(choices.upGiven);
    EXPECT_EQ(choices.up, LOAD_3DS::UpAxis::NegX);
    EXPECT_EQ(choices.texture, "wood.jpg");
    EXPECT_EQ(line.Count("--size"), 2);
    EXPECT_FALSE(choices.traced);
    EXPECT_FALSE(choices.noMarker);
    // The same with "=": a value keeps every "=" after the first; the viewer takes the mode and
    // the marker as the snapshot does.
    const char* joined[] = {"redowl", "--size=640x480", "--texture=a=b.jpg", "--mode=traced", "--no-marker", "m.obj"};
    const L line2 = WIN_NMS::ParseCommandLine(V, 6, joined);
    ASSERT_TRUE(WIN_NMS::ReadModelChoices(line2, choices, nullptr)) << line2.why;
    EXPECT_EQ(choices.width, 640);
    EXPECT_EQ(choices.texture, "a=b.jpg");
    EXPECT_TRUE(choices.traced);
    EXPECT_TRUE(choices.noMarker);
    EXPECT_EQ(line2.places, std::vector<std::string>{"m.obj"});
    // Every option is in the help of each program that takes it, and only there.
    for (const WIN_NMS::Program program : {V, S, D}) {
        const std::string help = WIN_NMS::OptionHelp(program);
        for (const WIN_NMS::OptionSpec& o : WIN_NMS::OptionTable()) {
            const std::string name = std::string("  ") + o.name;
            const bool listed = help.find(name + " ") != std::string::npos || help.find(name + "\n") != std::string::npos;
            EXPECT_EQ(listed, (o.programs & program) != 0) << o.name;
        }
        // Wrapped at 100 columns, no line ending in a blank.
        EXPECT_EQ(help.find(" \n"), std::string::npos) << help;
        for (std::size_t at = 0, end; (end = help.find('\n', at)) != std::string::npos; at = end + 1)
            EXPECT_LE(end - at, 100u) << help.substr(at, end - at);
    }
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

Outcome RunIn(const fs::path& dir, const std::string& program, const std::vector<std::string>& args) {
    Outcome o;
    {
        Child child(program, args, dir, false, false);
        int status = 0;
        if (child.WaitForExit(kExitTimeout, &status) && WIFEXITED(status)) o.status = WEXITSTATUS(status);
    }
    o.out = ReadAll(dir / "stdout.txt");
    o.err = ReadAll(dir / "stderr.txt");
    return o;
}

std::set<std::string> Names(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

TEST(ProgramCommandLineTest, HelpAndVersionOnStandardOutputUnknownOptionsRefusedWithStatusTwo) {
    const std::string version = WIN_NMS::VersionText("x");
    ASSERT_TRUE(std::regex_match(version, std::regex("x [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version;
    for (const std::string name : {"redowl", "redowl-snapshot", "redowl-demo-scene"}) {
        SCOPED_TRACE(name);
        const std::string program = REDOWL_BINARY_DIR "/" + name;
        TempDir dir;
        for (const char* help : {"--help", "-h"}) {
            const Outcome o = RunIn(dir.path(), program, {help});
            EXPECT_EQ(o.status, 0);
            EXPECT_EQ(o.out.rfind("usage: " + name + " ", 0), 0u) << o.out;
            EXPECT_NE(o.out.find("--version"), std::string::npos);
            EXPECT_EQ(o.err, "");
        }
        const Outcome v = RunIn(dir.path(), program, {"--version"});
        EXPECT_EQ(v.status, 0);
        EXPECT_EQ(v.out, WIN_NMS::VersionText(name.c_str()));
        EXPECT_EQ(v.err, "");
        for (const std::vector<std::string>& args : {std::vector<std::string>{"--bogus"}, {"-x", "."}}) {
            const Outcome o = RunIn(dir.path(), program, args);
            EXPECT_EQ(o.status, 2) << args[0];
            EXPECT_EQ(o.out, "");
            EXPECT_EQ(o.err.rfind(name + ": unknown option " + args[0] + "\nusage: " + name + " ", 0), 0u) << o.err;
        }
        // None of that wrote anything where the program ran.
        EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"stdout.txt", "stderr.txt"}));
    }
}

using StartFolderTest = ViewerProcessTest;

// The viewer opens a scene folder, then a model file, from a folder that holds a user's Err.txt:
// that file keeps its text and the folder gets nothing new; the scene folder gets its empty
// Err.txt, the model file's folder none.
TEST_F(StartFolderTest, RedowlDirAndRedowlFileLeaveTheStartingFolderAsItWas) {
    TempDir start, scene;
    WriteDemo(scene.path(), "win {\n  width = 160\n  height = 120\n}\ntracer { threads_num = 1 }\n");  // quick: no models
    const std::string mine = "the user's notes\n";
    std::ofstream(start.path() / "Err.txt") << mine;
    for (const fs::path& place : {scene.path(), scene.path() / "data" / "floor.3ds"}) {
        SCOPED_TRACE(place.string());
        Child viewer(ViewerPath(), {place.string()}, start.path(), true, true);
        const std::string window = AwaitWindow(viewer, "FPS=", true);
        ASSERT_FALSE(window.empty()) << ReadAll(start.path() / "stderr.txt");
        // Err.txt is made before the window opens, so it is there to be seen now.
        ASSERT_TRUE(SendWindowClose(std::stoul(window)));
        int status = 0;
        ASSERT_TRUE(viewer.WaitForExit(kExitTimeout, &status));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadAll(start.path() / "stderr.txt");
        EXPECT_EQ(ReadAll(start.path() / "Err.txt"), mine);
        EXPECT_EQ(Names(start.path()), (std::set<std::string>{"Err.txt", "stdout.txt", "stderr.txt"}));
    }
    ASSERT_TRUE(fs::exists(scene.path() / "Err.txt"));
    EXPECT_EQ(fs::file_size(scene.path() / "Err.txt"), 0u);
    EXPECT_FALSE(fs::exists(scene.path() / "data" / "Err.txt"));
}

}  // namespace
