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

TEST(ViewerArgumentsTest, HelpAndVersionWinAndEveryOtherOptionOrSecondPlaceIsRefused) {
    struct Case {
        std::vector<const char*> args;
        WIN_NMS::ViewerArguments::Action action;
        std::string place, why;
    };
    using A = WIN_NMS::ViewerArguments;
    const std::vector<Case> cases = {
        {{}, A::kRun, "", ""},
        {{"scene"}, A::kRun, "scene", ""},
        {{"--", "-odd name"}, A::kRun, "-odd name", ""},
        {{"-"}, A::kRun, "-", ""},  // a file named "-" is a place, not an option
        {{"scene", "--version"}, A::kVersion, "", ""},
        {{"--bogus", "-h"}, A::kHelp, "", ""},
        {{"--", "--help"}, A::kRun, "--help", ""},
        {{"--bogus"}, A::kBad, "", "unknown option --bogus"},
        {{"--release.cgf"}, A::kBad, "", "unknown option --release.cgf"},
        {{"a", "b"}, A::kBad, "a", "a second folder or file b"},
        {{""}, A::kBad, "", "an empty folder or file name"},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv{"redowl"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const A parsed = WIN_NMS::ParseViewerArguments(int(argv.size()), argv.data());
        SCOPED_TRACE(argv.size() > 1 ? argv[1] : "(none)");
        EXPECT_EQ(parsed.action, c.action);
        if (c.action == A::kRun || c.action == A::kBad) {
            EXPECT_EQ(parsed.place, c.place);
        }
        EXPECT_EQ(parsed.why, c.why);
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
