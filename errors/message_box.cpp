#include "errors/message_box.h"

#include <SDL2/SDL.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

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
    // The line first: the box waits for a person who may not come.
    std::fprintf(stderr, "%s\n", BoxLine(caption, text).c_str());
    std::fflush(stderr);
    // SDL_ShowSimpleMessageBox needs no SDL window and no SDL_Init; it blocks until dismissed.
    // Its X11 box is as wide as its longest line: the text comes wrapped.
    if (HaveDisplay()) {
        showingBox = true;
        boxParent = ::getpid();
        SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, caption.c_str(), WrapBoxText(text).c_str(), nullptr);
        showingBox = false;
    }
}

// Where a word longer than a line may be broken: after the last '/', ';' or ',' among its
// first `columns` characters that leaves a piece of at most `columns`, else after `columns`.
std::size_t BreakInWord(std::string_view word, std::size_t columns) {
    const std::size_t at = word.substr(0, columns).find_last_of("/;,");
    return at != std::string_view::npos && at > 0 ? at + 1 : columns;
}

}  // namespace

std::string WrapBoxText(const std::string& text, std::size_t columns, std::size_t maxLines) {
    if (columns < 8) columns = 8;
    // Each character is looked at a bounded number of times, and wrapping stops one line past
    // what is shown: a value of megabytes costs no more than the box's own lines.
    const std::size_t keep = maxLines > 0 ? maxLines + 1 : std::size_t(-1);
    std::vector<std::string> lines;
    std::string line;
    std::size_t at = 0;
    const auto endLine = [&] {
        while (!line.empty() && line.back() == ' ') line.pop_back();
        lines.push_back(line);
        line.clear();
    };
    const std::string_view all(text);
    while (at < text.size() && lines.size() < keep) {
        if (text[at] == '\n') {
            endLine();
            ++at;
            continue;
        }
        if (text[at] == ' ') {
            if (!line.empty() && line.size() < columns) line += ' ';
            ++at;
            continue;
        }
        std::size_t end = text.find_first_of(" \n", at);
        if (end == std::string::npos) end = text.size();
        std::string_view word = all.substr(at, end - at);
        at = end;
        if (line.size() + word.size() > columns && !line.empty()) endLine();
        while (word.size() > columns && lines.size() < keep) {
            const std::size_t cut = BreakInWord(word, columns);
            line.assign(word.substr(0, cut));
            endLine();
            word.remove_prefix(cut);
        }
        if (lines.size() < keep) line.append(word);
    }
    if ((!line.empty() && lines.size() < keep) || lines.empty()) endLine();
    if (lines.size() > maxLines && maxLines > 0) {
        lines.resize(maxLines);
        std::string& last = lines.back();
        if (last.size() + 3 > columns) last.resize(columns - 3);
        last += "...";
    }
    std::string out;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        if (k > 0) out += '\n';
        out += lines[k];
    }
    return out;
}

std::string ShortenText(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t cut = limit > 3 ? limit - 3 : 0;
    // Not inside a UTF-8 sequence: back to the start of the character.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut) + "...";
}

std::string BoxLine(const std::string& caption, const std::string& text) {
    std::string line = caption + ShortenText(text, kMaxBoxLine);
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    return line;
}

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
