// The viewer on whole scenes, as a user runs it: the demo scene with its frame rate, the F2
// mode switch, pausing and moving the light by keys, the settled picture and the rest after it,
// turning, zooming and panning the scene with the mouse, Home and f, and Esc;
// and the boxes of broken scenes, after each of which the viewer ends with status 1.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "tests/app/process_support.h"

namespace {

using namespace redowl_test;

constexpr auto kExitTimeout = std::chrono::seconds(30);
// Assembly builds three grids and starts the workers; under the sanitizers and software GL this
// takes a while.
constexpr auto kFirstFrameTimeout = std::chrono::seconds(120);

class ViewerTest : public ViewerProcessTest {
protected:
    void SetUp() override {
        ViewerProcessTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_FALSE(Shell("command -v import").empty()) << "ImageMagick's import is needed";
    }

    // Shows the box of a broken scene; dismissing it ends the viewer with status 1 (a failure
    // must not look like success). Standard error holds the box's report as one line.
    // titleDuringBox: the viewer window's title while the box shows (empty: not checked).
    static void ExpectBoxThenOne(const fs::path& dir, const std::string& caption, const std::string& titleDuringBox = {}) {
        Child viewer(ViewerPath(), {}, dir, true, true);
        ASSERT_GT(viewer.pid(), 0);
        const std::string box = AwaitWindow(viewer, caption, false, kFirstFrameTimeout);
        ASSERT_FALSE(box.empty()) << "no \"" << caption << "\" box; stderr: " << ReadAll(dir / "stderr.txt");
        int status = 0;
        EXPECT_FALSE(viewer.Exited(&status)) << "the box is modal: the viewer waits for it";
        // The window title is not the frame rate: no frame was drawn.
        EXPECT_TRUE(WindowsNamed("FPS=", true).empty());
        if (!titleDuringBox.empty()) {
            EXPECT_EQ(WindowsNamed(titleDuringBox).size(), 1u);
        }
        Shell("xdotool key --window " + box + " Return");
        ASSERT_TRUE(viewer.WaitForExit(kExitTimeout, &status)) << "dismissing the box did not end the viewer";
        ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
        EXPECT_EQ(WEXITSTATUS(status), 1);
        const std::string err = ReadAll(dir / "stderr.txt");
        EXPECT_EQ(err.rfind(caption, 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(fs::file_size(dir / "Err.txt"), 0u);
    }
};

// Polls screenshots until `accept` holds for one (or the time is up); returns the last.
template <class Accept>
WIN_NMS::Image AwaitPicture(const std::string& window, Accept accept, Clock::duration limit = std::chrono::seconds(30)) {
    const auto deadline = Clock::now() + limit;
    WIN_NMS::Image shot;
    do {
        shot = Screenshot(window);
        if (!shot.pixels.empty() && accept(shot)) return shot;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (Clock::now() < deadline);
    return shot;
}

// Blue over the top eighth of the window: the sky dome, drawn in hybrid mode and traced in the
// traced image.
double SkyBlue(const WIN_NMS::Image& shot) { return MeanChannel(shot, 2, 0, 0, shot.width, shot.height / 8); }

// Processor time (user and system) of a process so far, seconds.
double ProcessorSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos) return -1.0;
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    double ticks = 0.0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST_F(ViewerTest, DemoSceneFramesModesLightKeysSettlingRestDragAndEsc) {
    TempDir dir;
    WriteDemo(dir.path());
    {
        // Few samples, so that the picture settles soon in the sanitizer builds too.
        std::ifstream in(dir.path() / "release.cgf");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto at = text.find("threads_num = 4");
        ASSERT_NE(at, std::string::npos);
        text.insert(at, "max_samples = 12\n    ");
        std::ofstream(dir.path() / "release.cgf", std::ios::trunc) << text;
    }
    Child viewer(ViewerPath(), {}, dir.path(), true, true);
    ASSERT_GT(viewer.pid(), 0);

    // Frames follow assembly: the title becomes "FPS=" and a whole number.
    const std::string window = AwaitWindow(viewer, "FPS=", true, kFirstFrameTimeout);
    ASSERT_FALSE(window.empty()) << "no frame rate in the title; stderr: " << ReadAll(dir.path() / "stderr.txt");
    const std::string title = Shell("xdotool getwindowname " + window);
    ASSERT_GT(title.size(), 4u);
    // While the light moves, a hybrid frame that would not fit the budget masks a quarter of
    // the pixels (on a loaded machine it may not fit).
    const std::size_t digits = title.find_first_not_of("0123456789", 4);
    EXPECT_GT(digits, 4u) << title;
    EXPECT_TRUE(digits == std::string::npos || title.substr(digits) == ", 1/4 of the pixels") << title;
    const Geometry g = WindowGeometry(window);
    EXPECT_EQ(g.width, 512);
    EXPECT_EQ(g.height, 512);

    // Hybrid mode: the sky dome is on top.
    WIN_NMS::Image hybrid = AwaitPicture(window, [](const WIN_NMS::Image& s) { return SkyBlue(s) > 120.0; });
    ASSERT_EQ(hybrid.width, 512);
    EXPECT_GT(SkyBlue(hybrid), 120.0);

    // 'p' stops the light: the picture settles, the title says so, and the viewer rests.
    Shell("xdotool key --window " + window + " p");
    ASSERT_FALSE(AwaitWindow(viewer, "converged, ", true, kFirstFrameTimeout).empty())
        << "title " << Shell("xdotool getwindowname " + window);
    const double resting = ProcessorSeconds(viewer.pid());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_LT(ProcessorSeconds(viewer.pid()) - resting, 0.3) << "the viewer works while it rests";
    hybrid = Screenshot(window);

    // F2: the traced image (its own floor and knot, the sky traced); F2 again: hybrid once more.
    Shell("xdotool key --window " + window + " F2");
    const WIN_NMS::Image traced =
        AwaitPicture(window, [&](const WIN_NMS::Image& s) { return MeanDifference(s, hybrid) > 5.0; });
    EXPECT_GT(MeanDifference(traced, hybrid), 5.0) << "F2 did not switch to the traced image";
    EXPECT_GT(SkyBlue(traced), 120.0) << "the traced image shows the sky";
    Shell("xdotool key --window " + window + " F2");
    const WIN_NMS::Image back = AwaitPicture(window, [&](const WIN_NMS::Image& s) { return MeanDifference(s, hybrid) < 1.0; });
    EXPECT_LT(MeanDifference(back, hybrid), 1.0) << "F2 again did not switch back";
    Shell("xdotool key --window " + window + " p");  // the light moves again

    // A picture that stands still: two screenshots 0.7 s apart agree (waiting while frames that
    // were under way when a key came in are still shown; slow sanitizer builds need that).
    const auto awaitStill = [&](WIN_NMS::Image& still) {
        WIN_NMS::Image previous = Screenshot(window);
        for (int attempt = 0; attempt < 30; ++attempt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
            still = Screenshot(window);
            if (MeanDifference(previous, still) < 0.5) return true;
            previous = still;
        }
        return false;
    };

    // An arrow key pauses the moving light (and moves it by one unit): the picture then stands
    // still between frames and settles. The settled picture is the reference for Home below:
    // a picture caught part-way through settling is not reproducible on a slow build.
    Shell("xdotool key --window " + window + " Left");
    EXPECT_FALSE(AwaitWindow(viewer, "converged, ", true, kFirstFrameTimeout).empty())
        << "the light kept moving after an arrow key";
    const WIN_NMS::Image still2 = Screenshot(window);

    // A left-button drag turns the scene: the picture changes although the light stands still.
    Shell("xdotool mousemove --window " + window + " 200 200 mousedown 1");
    Shell("xdotool mousemove --window " + window + " 230 220");
    Shell("xdotool mousemove --window " + window + " 260 240 mouseup 1");
    const WIN_NMS::Image turned = AwaitPicture(window, [&](const WIN_NMS::Image& s) { return MeanDifference(s, still2) > 5.0; });
    EXPECT_GT(MeanDifference(turned, still2), 5.0) << "a left-button drag did not change the picture";
    // Still paused after the drag: the turned picture stands.
    WIN_NMS::Image turned1;
    EXPECT_TRUE(awaitStill(turned1)) << "the light moved again after the drag";

    // The wheel zooms towards the knot under the cursor, a right-button drag pans, Home gives
    // back the first view (the picture before the turn), f frames the knot.
    const auto awaitChange = [&](const WIN_NMS::Image& from, const char* what) {
        const WIN_NMS::Image changed =
            AwaitPicture(window, [&](const WIN_NMS::Image& s) { return MeanDifference(s, from) > 5.0; });
        EXPECT_GT(MeanDifference(changed, from), 5.0) << what << " did not change the picture";
        WIN_NMS::Image settled;
        EXPECT_TRUE(awaitStill(settled)) << "the picture kept changing after " << what;
        return settled;
    };
    Shell("xdotool mousemove --window " + window + " 256 300 click 4 click 4");
    const WIN_NMS::Image zoomed = awaitChange(turned1, "the wheel");
    Shell("xdotool mousemove --window " + window + " 200 200 mousedown 3");
    Shell("xdotool mousemove --window " + window + " 240 220");
    Shell("xdotool mousemove --window " + window + " 280 240 mouseup 3");
    awaitChange(zoomed, "a right-button drag");
    Shell("xdotool key --window " + window + " Home");
    const WIN_NMS::Image home =
        AwaitPicture(window, [&](const WIN_NMS::Image& s) { return MeanDifference(s, still2) < 0.5; }, kFirstFrameTimeout);
    EXPECT_LT(MeanDifference(home, still2), 0.5) << "Home did not give the first view back";
    Shell("xdotool key --window " + window + " f");
    const WIN_NMS::Image framed = awaitChange(home, "f");

    // 'p' resumes the light: the picture moves again.
    Shell("xdotool key --window " + window + " p");
    const WIN_NMS::Image moving = AwaitPicture(window, [&](const WIN_NMS::Image& s) { return MeanDifference(s, framed) > 1.0; });
    EXPECT_GT(MeanDifference(moving, framed), 1.0) << "'p' did not resume the light";

    Shell("xdotool key --window " + window + " Escape");
    int status = 0;
    ASSERT_TRUE(viewer.WaitForExit(kExitTimeout, &status)) << "Esc did not end the viewer";
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status << "; stderr: " << ReadAll(dir.path() / "stderr.txt");
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(fs::exists(dir.path() / "Err.txt"));
    EXPECT_EQ(fs::file_size(dir.path() / "Err.txt"), 0u);
}

TEST_F(ViewerTest, MissingSkyImageWithoutModelsShowsFileErrorAndEndsWithOne) {
    // The fixed textures are loaded even when no model is configured.
    TempDir dir;
    WriteDemo(dir.path(), "win { width = 256 height = 256 }\nscene { N_models = 0 }\ntracer { threads_num = 4 }\n");
    fs::remove(dir.path() / "data" / "SKY.bmp");
    // The textures come before any grid build or status title: the window still reads "RED OWL".
    ExpectBoxThenOne(dir.path(), "File_Error: ", "RED OWL");
}

TEST_F(ViewerTest, DamagedModelShowsL3dsErrorAndEndsWithOne) {
    TempDir dir;
    WriteDemo(dir.path());
    // The knot's file with its main chunk's identifier damaged: no longer a 3DS file.
    const fs::path knot = dir.path() / "data" / "knot.3ds";
    {
        std::fstream f(knot, std::ios::in | std::ios::out | std::ios::binary);
        f.write("\xFF\xFF", 2);
    }
    ASSERT_EQ(ReadAll(knot).substr(0, 2), "\xFF\xFF");
    ExpectBoxThenOne(dir.path(), "L3DS_Error: ");
}

TEST_F(ViewerTest, NegativeThreadCountShowsErrorAndEndsWithOne) {
    TempDir dir;
    WriteDemo(dir.path(), "win { width = 640 height = 480 }\nscene { N_models = 0 }\ntracer { threads_num = -3 }\n");
    ExpectBoxThenOne(dir.path(), "Error: ");
}

TEST_F(ViewerTest, TooManyModelsShowsErrorAndEndsWithOne) {
    TempDir dir;
    WriteDemo(dir.path(), "win { width = 256 height = 256 }\nscene { N_models = 7 }\ntracer { threads_num = 4 }\n");
    ExpectBoxThenOne(dir.path(), "Error: ");
}

}  // namespace
