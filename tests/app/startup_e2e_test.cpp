// The real viewer binary, started as its own process in a fresh directory on the test display:
// the window it opens, its exit statuses, "Err.txt", and the error box of a missing
// configuration. Every wait is bounded; a child that overstays is killed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/win_main.h"

// After gtest and the standard headers: Xlib's macros (None, Bool) clash with their names.
#include <X11/Xlib.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char* const kViewer = REDOWL_BINARY_DIR "/redowl";
constexpr auto kWindowTimeout = std::chrono::seconds(60);
constexpr auto kExitTimeout = std::chrono::seconds(30);

// Output of a shell command (stdout only), trailing line end removed.
std::string Shell(const std::string& command) {
    std::string out;
    if (FILE* p = popen((command + " 2>/dev/null").c_str(), "r")) {
        char buf[512];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A temporary working directory, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "redowl_e2e_XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// The viewer as a child process in `dir`, its standard error captured in dir/stderr.txt.
class Viewer {
public:
    // glDriverLeaks: the child renders with the GL driver. Mesa's driver module is unloaded
    // during exit, before the leak checker runs, so its allocations cannot be named (and so
    // cannot be suppressed by module); leak checking is then left to the in-process tests.
    Viewer(const fs::path& dir, bool withDisplay, bool glDriverLeaks = false) {
        // Environment and paths are prepared before fork: the child only makes system calls.
        for (char** e = environ; *e; ++e) {
            if (!withDisplay && std::strncmp(*e, "DISPLAY=", 8) == 0) continue;
            env_.push_back(*e);
            if (glDriverLeaks && std::strncmp(*e, "ASAN_OPTIONS=", 13) == 0) env_.back() += ":detect_leaks=0";
        }
        envp_.clear();
        for (std::string& s : env_) envp_.push_back(s.data());
        envp_.push_back(nullptr);
        const std::string dirText = dir.string();
        const std::string errPath = (dir / "stderr.txt").string();
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(dirText.c_str()) != 0) _exit(126);
            const int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) dup2(fd, 2);
            char* argv[] = {const_cast<char*>("redowl"), nullptr};
            execve(kViewer, argv, envp_.data());
            _exit(127);
        }
    }
    ~Viewer() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }

    // True once the child has ended; *status is its wait status.
    bool Exited(int* status) {
        if (exited_) {
            *status = status_;
            return true;
        }
        if (waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
        *status = status_;
        return exited_;
    }
    // Waits up to `limit` for the end; kills the child and returns false when it does not come.
    bool WaitForExit(Clock::duration limit, int* status) {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            if (Exited(status)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        exited_ = true;
        return false;
    }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
    std::vector<std::string> env_;
    std::vector<char*> envp_;
};

// Windows whose name is exactly `name`. Some toolkits write the name only as UTF-8, which
// `xdotool search --name` does not match, so every window is also listed by class and
// compared by its name.
std::vector<std::string> WindowsNamed(const std::string& name) {
    std::vector<std::string> found;
    std::istringstream ids(Shell("xdotool search --classname ''") + "\n" + Shell("xdotool search --name '" + name + "'"));
    std::string id;
    while (ids >> id) {
        bool seen = false;
        for (const std::string& f : found) seen = seen || f == id;
        if (!seen && Shell("xdotool getwindowname " + id) == name) found.push_back(id);
    }
    return found;
}

// Polls for a window named `name` while the child lives; empty when none appears in time.
std::string AwaitWindow(Viewer& viewer, const std::string& name) {
    const auto deadline = Clock::now() + kWindowTimeout;
    int status = 0;
    while (Clock::now() < deadline && !viewer.Exited(&status)) {
        const std::vector<std::string> w = WindowsNamed(name);
        if (!w.empty()) return w.front();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return {};
}

struct Geometry {
    int x = -1, y = -1, width = -1, height = -1;
};

Geometry WindowGeometry(const std::string& id) {
    // "Window N\n  Position: X,Y (screen: 0)\n  Geometry: WxH"
    const std::string text = Shell("xdotool getwindowgeometry " + id);
    Geometry g;
    const std::size_t p = text.find("Position:");
    const std::size_t s = text.find("Geometry:");
    if (p != std::string::npos) std::sscanf(text.c_str() + p, "Position: %d,%d", &g.x, &g.y);
    if (s != std::string::npos) std::sscanf(text.c_str() + s, "Geometry: %dx%d", &g.width, &g.height);
    return g;
}

// What a window manager sends when the user closes a window: WM_PROTOCOLS/WM_DELETE_WINDOW.
bool SendWindowClose(unsigned long window) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return false;
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = window;
    e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    const bool sent = XSendEvent(d, window, False, NoEventMask, &e) != 0;
    XCloseDisplay(d);
    return sent;
}

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        ASSERT_TRUE(display && *display) << "these tests run on an X display (the test command starts Xvfb)";
        ASSERT_TRUE(fs::exists(kViewer)) << kViewer;
        ASSERT_FALSE(Shell("command -v xdotool").empty()) << "xdotool is needed";
    }
};

TEST_F(StartupTest, WindowIsCentredWithItsSizeAndTitleAndEscOrCloseEndsWithZero) {
    TempDir dir;
    // Odd sizes: the centred origin must truncate, not round.
    std::ofstream(dir.path() / "release.cgf") << "// window of the test\nwin {\n  width = 321\n  height = 241\n}\n";
    Viewer viewer(dir.path(), true, true);
    ASSERT_GT(viewer.pid(), 0);

    const std::string window = AwaitWindow(viewer, "RED OWL");
    ASSERT_FALSE(window.empty()) << "no \"RED OWL\" window; stderr: " << ReadAll(dir.path() / "stderr.txt");
    EXPECT_EQ(WindowsNamed("RED OWL").size(), 1u);

    int screenW = 0, screenH = 0;
    ASSERT_EQ(std::sscanf(Shell("xdotool getdisplaygeometry").c_str(), "%d %d", &screenW, &screenH), 2);
    const Geometry g = WindowGeometry(window);
    EXPECT_EQ(g.width, 321);
    EXPECT_EQ(g.height, 241);
    // No window manager runs on the test display, so the requested origin is the real one.
    EXPECT_EQ(g.x, WIN_NMS::CentredOrigin(screenW, 321));
    EXPECT_EQ(g.y, WIN_NMS::CentredOrigin(screenH, 241));
    if (screenW == 1920 && screenH == 1080) {
        EXPECT_EQ(g.x, 799);
        EXPECT_EQ(g.y, 419);
    }
    // The title is also set as UTF-8 for window managers that read _NET_WM_NAME.
    EXPECT_NE(Shell("xprop -id " + window + " _NET_WM_NAME").find("\"RED OWL\""), std::string::npos);

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

    // A second run (after the first has gone, so that one "RED OWL" window exists at a time):
    // closing the window through the window manager protocol also ends with status 0.
    Viewer second(dir.path(), true, true);
    const std::string window2 = AwaitWindow(second, "RED OWL");
    ASSERT_FALSE(window2.empty());
    ASSERT_TRUE(SendWindowClose(std::stoul(window2)));
    ASSERT_TRUE(second.WaitForExit(kExitTimeout, &status)) << "closing the window did not end the viewer";
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << ReadAll(dir.path() / "stderr.txt");
    EXPECT_EQ(fs::file_size(dir.path() / "Err.txt"), 0u);
}

TEST_F(StartupTest, MissingConfigurationShowsFileErrorBoxAndEndsNonzero) {
    TempDir dir;
    Viewer viewer(dir.path(), true);
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
    // The box took the report; nothing went to standard error.
    EXPECT_EQ(ReadAll(dir.path() / "stderr.txt"), "");
    EXPECT_EQ(fs::file_size(dir.path() / "Err.txt"), 0u);
}

TEST_F(StartupTest, MissingConfigurationWithoutDisplayReportsOnStandardError) {
    // Without a display the box falls back to one line on standard error; the exact text of
    // the report shows here, and no window system is touched after it.
    TempDir dir;
    Viewer viewer(dir.path(), false);
    ASSERT_GT(viewer.pid(), 0);
    int status = 0;
    ASSERT_TRUE(viewer.WaitForExit(kExitTimeout, &status));
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(ReadAll(dir.path() / "stderr.txt"), "File_Error: Can not open file release.cgf\n");
    ASSERT_TRUE(fs::exists(dir.path() / "Err.txt"));
    EXPECT_EQ(fs::file_size(dir.path() / "Err.txt"), 0u);
}

}  // namespace
