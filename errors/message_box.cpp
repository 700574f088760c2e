#include "errors/message_box.h"

#include <SDL2/SDL.h>

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

void PlatformBox(const std::string& caption, const std::string& text) {
    // SDL_ShowSimpleMessageBox needs no SDL window and no SDL_Init; it blocks until dismissed.
    if (HaveDisplay() &&
        SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, caption.c_str(), text.c_str(), nullptr) == 0) {
        return;
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
