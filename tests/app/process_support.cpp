#include "tests/app/process_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "loaders/demo_scene.h"

// After the standard headers: Xlib's macros (None, Bool) clash with their names.
#include <X11/Xlib.h>

extern char** environ;

namespace redowl_test {

namespace {
std::string privateDisplay;  // name of the live PrivateDisplay, empty when there is none
}

PrivateDisplay::PrivateDisplay() {
    // Display numbers from a start that differs between test processes; a number whose lock
    // exists, or whose server does not come up as ours, is skipped.
    const int start = 300 + static_cast<int>(getpid() % 400);
    for (int k = 0; k < 60 && !connection_; ++k) {
        const int n = start + k;
        char lock[64], socket[64], display[16];
        std::snprintf(lock, sizeof lock, "/tmp/.X%d-lock", n);
        std::snprintf(socket, sizeof socket, "/tmp/.X11-unix/X%d", n);
        std::snprintf(display, sizeof display, ":%d", n);
        if (fs::exists(lock) || fs::exists(socket)) continue;
        const std::string name = display;
        const pid_t pid = fork();
        if (pid < 0) return;
        if (pid == 0) {
            const int devnull = open("/dev/null", O_WRONLY);
            if (devnull >= 0) {
                dup2(devnull, 1);
                dup2(devnull, 2);
            }
            execlp("Xvfb", "Xvfb", name.c_str(), "-screen", "0", "1920x1080x24", "-nolisten", "tcp", "-noreset",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        // Up to 10 s for the server to answer while it lives.
        for (int i = 0; i < 200; ++i) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) break;  // number taken meanwhile
            if (Display* d = XOpenDisplay(name.c_str())) {
                pid_ = pid;
                name_ = name;
                connection_ = d;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!connection_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    if (connection_) privateDisplay = name_;
}

PrivateDisplay::~PrivateDisplay() {
    if (connection_) XCloseDisplay(static_cast<Display*>(connection_));
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (privateDisplay == name_) privateDisplay.clear();
}

std::string Shell(const std::string& command) {
    std::string out;
    const std::string prefix = privateDisplay.empty() ? std::string() : "DISPLAY=" + privateDisplay + " ";
    if (FILE* p = popen((prefix + command + " 2>/dev/null").c_str(), "r")) {
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

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "redowl_e2e_XXXXXX").string();
    path_ = mkdtemp(pattern.data());
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

Child::Child(const std::string& program, const std::vector<std::string>& args, const fs::path& dir, bool withDisplay,
             bool glDriverLeaks) {
    // Everything is prepared before fork: the child only makes system calls.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "DISPLAY=", 8) == 0 && (!withDisplay || !privateDisplay.empty())) continue;
        env.push_back(*e);
        if (glDriverLeaks && std::strncmp(*e, "ASAN_OPTIONS=", 13) == 0) env.back() += ":detect_leaks=0";
    }
    if (withDisplay && !privateDisplay.empty()) env.push_back("DISPLAY=" + privateDisplay);
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argvText{program};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : argvText) argv.push_back(s.data());
    argv.push_back(nullptr);
    const std::string dirText = dir.string();
    const std::string errPath = (dir / "stderr.txt").string();
    const std::string outPath = (dir / "stdout.txt").string();
    pid_ = fork();
    if (pid_ == 0) {
        if (chdir(dirText.c_str()) != 0) _exit(126);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) dup2(err, 2);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) dup2(out, 1);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
}

Child::~Child() {
    if (pid_ > 0 && !exited_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool Child::Exited(int* status) {
    if (!exited_ && waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
    *status = status_;
    return exited_;
}

bool Child::WaitForExit(Clock::duration limit, int* status) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (Exited(status)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    exited_ = true;
    *status = status_;
    return false;
}

std::vector<std::string> WindowsNamed(const std::string& name, bool prefix) {
    // Some toolkits write the name only as UTF-8, which `xdotool search --name` does not match,
    // so every window is also listed by class and compared by its name.
    std::vector<std::string> found;
    std::istringstream ids(Shell("xdotool search --classname ''") + "\n" + Shell("xdotool search --name '" + name + "'"));
    std::string id;
    while (ids >> id) {
        bool seen = false;
        for (const std::string& f : found) seen = seen || f == id;
        if (seen) continue;
        const std::string actual = Shell("xdotool getwindowname " + id);
        if (prefix ? actual.rfind(name, 0) == 0 : actual == name) found.push_back(id);
    }
    return found;
}

std::string AwaitWindow(Child& child, const std::string& name, bool prefix, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    int status = 0;
    while (Clock::now() < deadline && !child.Exited(&status)) {
        const std::vector<std::string> w = WindowsNamed(name, prefix);
        if (!w.empty()) return w.front();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return {};
}

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

bool SendWindowClose(unsigned long window) {
    Display* d = XOpenDisplay(privateDisplay.empty() ? nullptr : privateDisplay.c_str());
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

WIN_NMS::Image Screenshot(const std::string& window) {
    WIN_NMS::Image image;
    char pattern[] = "/tmp/redowl_shot_XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0) return image;
    close(fd);
    const std::string path = std::string(pattern) + ".png";
    Shell("import -window " + window + " png24:" + path);
    WIN_NMS::ReadPng(path, image);
    std::remove(pattern);
    std::remove(path.c_str());
    return image;
}

double MeanDifference(const WIN_NMS::Image& a, const WIN_NMS::Image& b) {
    if (a.width != b.width || a.height != b.height || a.channels != b.channels || a.pixels.empty()) return -1.0;
    double sum = 0.0;
    for (std::size_t i = 0; i < a.pixels.size(); ++i) sum += std::abs(int(a.pixels[i]) - int(b.pixels[i]));
    return sum / static_cast<double>(a.pixels.size());
}

double MeanChannel(const WIN_NMS::Image& image, int c, int x0, int y0, int x1, int y1) {
    double sum = 0.0;
    int n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            sum += image.pixels[(static_cast<std::size_t>(y) * image.width + x) * image.channels + c];
            ++n;
        }
    return n ? sum / n : 0.0;
}

double MeanBrightness(const WIN_NMS::Image& image, int x0, int y0, int x1, int y1) {
    double sum = 0.0;
    for (int c = 0; c < image.channels; ++c) sum += MeanChannel(image, c, x0, y0, x1, y1);
    return image.channels ? sum / image.channels : 0.0;
}

void WriteDemo(const fs::path& dir, const std::string& configuration) {
    std::string error;
    if (!LOAD_3DS::WriteDemoScene(dir.string(), &error)) throw std::runtime_error("demo scene: " + error);
    if (!configuration.empty()) std::ofstream(dir / "release.cgf", std::ios::trunc) << configuration;
}

std::string ViewerPath() { return REDOWL_BINARY_DIR "/redowl"; }
std::string SnapshotPath() { return REDOWL_BINARY_DIR "/redowl-snapshot"; }

void ViewerProcessTest::SetUp() {
    ASSERT_FALSE(Shell("command -v Xvfb").empty()) << "Xvfb is needed";
    ASSERT_TRUE(display.ok()) << "no private X server could be started";
    ASSERT_TRUE(std::filesystem::exists(ViewerPath())) << ViewerPath();
    ASSERT_FALSE(Shell("command -v xdotool").empty()) << "xdotool is needed";
}

}  // namespace redowl_test
