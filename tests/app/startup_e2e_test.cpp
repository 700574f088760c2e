// The real viewer binary, started as its own process in a fresh directory on the test display:
// the window it opens, its exit statuses, "Err.txt", and the error box of a missing
// configuration. Every wait is bounded; a child that overstays is killed.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "app/win_main.h"
#include "tests/app/process_support.h"

namespace {

using namespace redowl_test;

constexpr auto kExitTimeout = std::chrono::seconds(30);

using StartupTest = ViewerProcessTest;

TEST_F(StartupTest, WindowIsCentredWithItsSizeAndTitleAndEscOrCloseEndsWithZero) {
    TempDir dir;
    // The demo's images with no models, one tracer thread; odd sizes: the centred origin must
    // truncate, not round.
    WriteDemo(dir.path(), "// window of the test\nwin {\n  width = 321\n  height = 321\n}\ntracer { threads_num = 1 }\n");
    Child viewer(ViewerPath(), {}, dir.path(), true, true);
    ASSERT_GT(viewer.pid(), 0);

    // "RED OWL" lasts only until assembly (a blink without models); then the frame rate.
    const std::string window = AwaitWindow(viewer, "FPS=", true);
    ASSERT_FALSE(window.empty()) << "no frame rate in the title; stderr: " << ReadAll(dir.path() / "stderr.txt");
    EXPECT_EQ(WindowsNamed("FPS=", true).size(), 1u);

    int screenW = 0, screenH = 0;
    ASSERT_EQ(std::sscanf(Shell("xdotool getdisplaygeometry").c_str(), "%d %d", &screenW, &screenH), 2);
    const Geometry g = WindowGeometry(window);
    EXPECT_EQ(g.width, 321);
    EXPECT_EQ(g.height, 321);
    // No window manager runs on the test display, so the requested origin is the real one.
    EXPECT_EQ(g.x, WIN_NMS::CentredOrigin(screenW, 321));
    EXPECT_EQ(g.y, WIN_NMS::CentredOrigin(screenH, 321));
    if (screenW == 1920 && screenH == 1080) {
        EXPECT_EQ(g.x, 799);
        EXPECT_EQ(g.y, 379);
    }
    // The title is also set as UTF-8 for window managers that read _NET_WM_NAME.
    EXPECT_NE(Shell("xprop -id " + window + " _NET_WM_NAME").find("\"FPS="), std::string::npos);

    // "Err.txt" exists, empty, while the viewer runs.
    ASSERT_TRUE(fs::exists(dir.path() / "Err.txt"));
    EXPECT_EQ(fs::file_size(dir.path() / "Err.txt"), 0u);

    Shell("xdotool key --window " + window + " Escape");
    int status = 0;
    ASSERT_TRUE(viewer.WaitForExit(kExitTimeout, &status)) << "Esc did not end the viewer";
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status << "; stderr: " << ReadAll(dir.path() / "stderr.txt");
    EXPECT_EQ(WEXITSTATUS(status), 0) << ReadAll(dir.path() / "stderr.txt");
    ASSERT_TRUE(fs::exists(dir.path() / "Err.txt"));
    EXPECT_EQ(fs::file_size(dir.path() / "Err.txt"), 0u);

    // A second run (after the first has gone, so that one viewer window exists at a time):
    // closing the window through the window manager protocol also ends with status 0.
    Child second(ViewerPath(), {}, dir.path(), true, true);
    const std::string window2 = AwaitWindow(second, "FPS=", true);
    ASSERT_FALSE(window2.empty());
    ASSERT_TRUE(SendWindowClose(std::stoul(window2)));
    ASSERT_TRUE(second.WaitForExit(kExitTimeout, &status)) << "closing the window did not end the viewer";
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << ReadAll(dir.path() / "stderr.txt");
    EXPECT_EQ(fs::file_size(dir.path() / "Err.txt"), 0u);
}

TEST_F(StartupTest, MissingConfigurationShowsFileErrorBoxAndEndsNonzero) {
    TempDir dir;
    Child viewer(ViewerPath(), {}, dir.path(), true, false);
    ASSERT_GT(viewer.pid(), 0);

    const std::string box = AwaitWindow(viewer, "File_Error: ");
    ASSERT_FALSE(box.empty()) << "no \"File_Error: \" box; stderr: " << ReadAll(dir.path() / "stderr.txt");
    // The box is modal: the viewer waits for it.
    int status = 0;
    EXPECT_FALSE(viewer.Exited(&status));
    EXPECT_TRUE(fs::exists(dir.path() / "Err.txt"));

    Shell("xdotool key --window " + box + " Return");
    ASSERT_TRUE(viewer.WaitForExit(kExitTimeout, &status)) << "dismissing the box did not end the viewer";
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    // The box's report went to standard error too, as one line.
    EXPECT_EQ(ReadAll(dir.path() / "stderr.txt"),
              "File_Error: Can not open file release.cgf in " + fs::canonical(dir.path()).string() + "\n");
    EXPECT_EQ(fs::file_size(dir.path() / "Err.txt"), 0u);
}

TEST_F(StartupTest, AViewerKilledWhileItsBoxIsUpTakesTheBoxAlong) {
    // The box runs in a process of its own; it must not stay on screen after the viewer.
    TempDir dir;
    Child viewer(ViewerPath(), {"nonexist.obj"}, dir.path(), true, false);
    ASSERT_GT(viewer.pid(), 0);
    ASSERT_FALSE(AwaitWindow(viewer, "File_Error: ").empty()) << ReadAll(dir.path() / "stderr.txt");
    // A missing file is named as one.
    EXPECT_EQ(ReadAll(dir.path() / "stderr.txt"), "File_Error: Can not open file nonexist.obj\n");
    ::kill(viewer.pid(), SIGKILL);
    int status = 0;
    ASSERT_TRUE(viewer.WaitForExit(kExitTimeout, &status));
    bool gone = false;
    for (int k = 0; k < 100 && !gone; ++k) {
        gone = WindowsNamed("File_Error: ").empty();
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(gone) << "the box outlived the viewer";
}

TEST_F(StartupTest, MissingConfigurationWithoutDisplayReportsOnStandardError) {
    // Without a display the box falls back to one line on standard error; the exact text of
    // the report shows here, and no window system is touched after it.
    TempDir dir;
    Child viewer(ViewerPath(), {}, dir.path(), false, false);
    ASSERT_GT(viewer.pid(), 0);
    int status = 0;
    ASSERT_TRUE(viewer.WaitForExit(kExitTimeout, &status));
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(ReadAll(dir.path() / "stderr.txt"),
              "File_Error: Can not open file release.cgf in " + fs::canonical(dir.path()).string() + "\n");
    ASSERT_TRUE(fs::exists(dir.path() / "Err.txt"));
    EXPECT_EQ(fs::file_size(dir.path() / "Err.txt"), 0u);
}

}  // namespace
