#include "errors/message_box.h"

#include <SDL2/SDL.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace TIRN_ERROR {
namespace {

std::mutex& SinkMutex() {
    static std::mutex m;
    return m;
}
BoxSink& CurrentBoxSink() {
    static BoxSink sink;
    return sink;
}
TitleSink& CurrentTitleSink() {
    static TitleSink sink;
    return sink;
}

bool HaveDisplay() {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (display && *display) || (wayland && *wayland);
}

// SDL shows the box from a process it forks off the calling thread (its X connection and
// locale kept apart from the caller's), which waits for it. That process must not outlive the
// viewer: a viewer killed while its box is up would leave the box on screen. So every process
// forked by a thread while that thread shows a box gets a death signal tied to the thread,
// which lives, blocked, until the box is dismissed or the viewer dies.
thread_local bool showingBox = false;
thread_local pid_t boxParent = 0;

void BoxChildDiesWithItsParent() {
    if (!showingBox) return;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != boxParent) ::_exit(1);  // the viewer died before the line above
}

void PlatformBox(const std::string& caption, const std::string& text) {
    static const bool handler = ::pthread_atfork(nullptr, nullptr, &BoxChildDiesWithItsParent) == 0;
    (void)handler;
    // SDL_ShowSimpleMessageBox needs no SDL window and no SDL_Init; it blocks until dismissed.
    if (HaveDisplay()) {
        showingBox = true;
        boxParent = ::getpid();
        const int shown = SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, caption.c_str(), text.c_str(), nullptr);
        showingBox = false;
        if (shown == 0) return;
    }
    std::fprintf(stderr, "%s%s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
}

}  // namespace

void ShowErrorBox(const std::string& caption, const std::string& text) {
    BoxSink sink;
    {
        std::lock_guard<std::mutex> lock(SinkMutex());
        sink = CurrentBoxSink();
    }
    if (sink) {
        sink(caption, text);
    } else {
        PlatformBox(caption, text);
    }
}

void SetStatusTitle(const std::string& utf8Text) {
    TitleSink sink;
    {
        std::lock_guard<std::mutex> lock(SinkMutex());
        sink = CurrentTitleSink();
    }
    if (sink) sink(utf8Text);
}

BoxSink SetBoxSink(BoxSink sink) {
    std::lock_guard<std::mutex> lock(SinkMutex());
    return std::exchange(CurrentBoxSink(), std::move(sink));
}

TitleSink SetTitleSink(TitleSink sink) {
    std::lock_guard<std::mutex> lock(SinkMutex());
    return std::exchange(CurrentTitleSink(), std::move(sink));
}

BoxRecorder::BoxRecorder() {
    previousBox_ = SetBoxSink([this](const std::string& caption, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        boxes_.emplace_back(caption, text);
    });
    previousTitle_ = SetTitleSink([this](const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        titles_.push_back(text);
    });
}

BoxRecorder::~BoxRecorder() {
    SetBoxSink(std::move(previousBox_));
    SetTitleSink(std::move(previousTitle_));
}

std::vector<std::pair<std::string, std::string>> BoxRecorder::Boxes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return boxes_;
}

std::vector<std::string> BoxRecorder::Titles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return titles_;
}

void BoxRecorder::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    boxes_.clear();
    titles_.clear();
}

}  // namespace TIRN_ERROR
