// redowl-snapshot against a scene folder that an attacker prepared (a named pipe or a link out
// of the folder where a fixed texture or release.cgf should be), and against signals: it refuses
// at once instead of blocking, and its private X server never outlives it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/process_support.h"

namespace {

using namespace redowl_test;

constexpr auto kRunTimeout = std::chrono::seconds(120);

// The Xvfb processes whose parent is pid (from /proc).
std::vector<pid_t> XvfbChildren(pid_t pid) {
    std::vector<pid_t> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        // "PID (COMM) STATE PPID ...": the name may hold blanks, so the last ')' ends it.
        const std::size_t close = line.rfind(')');
        if (close == std::string::npos || line.find("(Xvfb)") == std::string::npos) continue;
        char state = 0;
        long parent = 0;
        if (std::sscanf(line.c_str() + close + 1, " %c %ld", &state, &parent) == 2 && parent == pid)
            found.push_back(pid_t(std::stol(name)));
    }
    return found;
}

// Whether pid still runs (a zombie has ended; it waits only to be reaped by its new parent).
bool Runs(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const std::size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z' && line[close + 2] != 'X';
}

TEST(AttackSnapshotTest, APipeOrALinkOutOfTheSceneIsRefusedAtOnce) {
    PrivateDisplay display;
    ASSERT_TRUE(display.ok()) << "no private X server could be started";
    struct Case {
        std::string file;     // replaced in the demo scene
        bool pipe;            // by a named pipe, else by a link to a copy outside the folder
        std::string message;  // on standard error
    };
    const std::vector<Case> cases = {
        {"data/texture1.bmp", true, "File_Error: Can not open data/texture1.bmp"},
        {"data/SKY.bmp", false, "File_Error: Can not open data/SKY.bmp"},
        {"release.cgf", true, "File_Error: Can not open file release.cgf"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const fs::path scene = dir.path() / "scene";
        WriteDemo(scene);
        fs::copy_file(scene / c.file, dir.path() / "outside", fs::copy_options::overwrite_existing);
        fs::remove(scene / c.file);
        if (c.pipe) ASSERT_EQ(::mkfifo((scene / c.file).c_str(), 0600), 0);
        else fs::create_symlink(dir.path() / "outside", scene / c.file);
        Child child(SnapshotPath(), {"--out", "x.png"}, scene, true, true);
        int status = 0;
        ASSERT_TRUE(child.WaitForExit(kRunTimeout, &status)) << c.file << ": the snapshot hung";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << c.file;
        EXPECT_NE(ReadAll(scene / "stderr.txt").find(c.message), std::string::npos) << ReadAll(scene / "stderr.txt");
        EXPECT_FALSE(fs::exists(scene / "x.png"));
    }
}

TEST(AttackSnapshotTest, ItsPrivateXServerEndsWithItOnSigtermAndSigkill) {
    for (const int signal : {SIGTERM, SIGKILL}) {
        TempDir dir;
        WriteDemo(dir.path());
        // Without a display the snapshot starts its own server; many frames keep it busy.
        Child child(SnapshotPath(), {"--frames", "100000", "--out", "x.png"}, dir.path(), false, true);
        std::vector<pid_t> servers;
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (servers.empty() && Clock::now() < deadline) {
            servers = XvfbChildren(child.pid());
            if (servers.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_EQ(servers.size(), 1u) << "no private Xvfb was started: " << ReadAll(dir.path() / "stderr.txt");
        ::kill(child.pid(), signal);
        int status = 0;
        ASSERT_TRUE(child.WaitForExit(kRunTimeout, &status));
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        bool ended = false;
        for (int k = 0; k < 100 && !ended; ++k) {
            ended = !Runs(servers[0]);
            if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_TRUE(ended) << "Xvfb " << servers[0] << " outlived the snapshot (signal " << signal << ")";
        if (!ended) ::kill(servers[0], SIGKILL);
    }
}

}  // namespace
