#pragma once
// Support for the end-to-end tests: the real programs as child processes in temporary folders,
// the X windows they open (found with xdotool), screenshots (ImageMagick's import) and key and
// mouse input. Every wait is bounded; a child that overstays is killed.

#include <sys/types.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "app/png_image.h"

namespace redowl_test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A private X server (Xvfb, -noreset) for one test: the programs a test starts and the
// xdotool and import commands it runs all use it, so windows of tests that run at the same
// time on the shared display cannot be mistaken for each other. Holds a connection while it
// lives. While one exists, Shell commands and Child processes with a display use it.
class PrivateDisplay {
public:
    PrivateDisplay();
    ~PrivateDisplay();
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;
    bool ok() const { return connection_ != nullptr; }
    const std::string& name() const { return name_; }

private:
    pid_t pid_ = -1;
    std::string name_;
    void* connection_ = nullptr;
};

// Output of a shell command (stdout only), trailing line ends removed.
std::string Shell(const std::string& command);
std::string ReadAll(const fs::path& path);

// A temporary working directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// A program as a child process in `dir`, its standard error captured in dir/stderr.txt and its
// standard output in dir/stdout.txt.
class Child {
public:
    // withDisplay false removes DISPLAY from the child's environment. glDriverLeaks: the child
    // renders with the GL driver, whose module Mesa unloads during exit before the leak checker
    // runs, so its allocations cannot be named or suppressed; leak checking is then left to the
    // in-process tests.
    Child(const std::string& program, const std::vector<std::string>& args, const fs::path& dir, bool withDisplay,
          bool glDriverLeaks);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    pid_t pid() const { return pid_; }

    // True once the child has ended; *status is its wait status.
    bool Exited(int* status);
    // Waits up to `limit` for the end; kills the child and returns false when it does not come.
    bool WaitForExit(Clock::duration limit, int* status);

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
};

// Windows whose name is exactly `name`, or starts with it when prefix is true.
std::vector<std::string> WindowsNamed(const std::string& name, bool prefix = false);
// Polls for such a window while the child lives; empty when none appears within `limit`.
std::string AwaitWindow(Child& child, const std::string& name, bool prefix = false,
                        Clock::duration limit = std::chrono::seconds(60));

struct Geometry {
    int x = -1, y = -1, width = -1, height = -1;
};
Geometry WindowGeometry(const std::string& id);

// What a window manager sends when the user closes a window: WM_PROTOCOLS/WM_DELETE_WINDOW.
bool SendWindowClose(unsigned long window);

// The window's current contents as an 8-bit RGB image (empty on failure).
WIN_NMS::Image Screenshot(const std::string& window);

// Mean absolute difference per channel value of two images of the same shape (-1 otherwise).
double MeanDifference(const WIN_NMS::Image& a, const WIN_NMS::Image& b);
// Mean of channel c (0..channels-1) over the rectangle [x0, x1) x [y0, y1), row 0 at the top.
double MeanChannel(const WIN_NMS::Image& image, int c, int x0, int y0, int x1, int y1);
// Mean of all channels over the rectangle.
double MeanBrightness(const WIN_NMS::Image& image, int x0, int y0, int x1, int y1);

// Writes the demo scene into dir and replaces its release.cgf by `configuration` when that is
// not empty.
void WriteDemo(const fs::path& dir, const std::string& configuration = {});

// Paths of the built programs.
std::string ViewerPath();

// Base of the tests that run the real viewer: each test gets its own X server, and the tools
// the tests drive it with must be present.
class ViewerProcessTest : public ::testing::Test {
protected:
    PrivateDisplay display;  // this test's own X server

    void SetUp() override;
};
std::string SnapshotPath();

}  // namespace redowl_test
