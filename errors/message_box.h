#pragma once
// The system's modal message box and the window-title channel.
//
// Every user-facing report goes through here: the error box that each TIRN_ERROR exception
// shows when it is constructed, the grid's memory warning, and the status titles of start-up.
// Tests install a recorder instead of showing boxes or touching a window.

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace TIRN_ERROR {

// Shows a modal error box with no owner window and blocks the calling thread until it is
// dismissed; its text wrapped (WrapBoxText). The caption and the text also go to standard error
// as one line (BoxLine), so that a terminal or a log keeps what the box said; without a display
// that line is all. May be called from any thread.
void ShowErrorBox(const std::string& caption, const std::string& text);

// A box's width and height in characters: a line a person reads at once, and a box that fits
// on any screen.
inline constexpr std::size_t kBoxColumns = 72;
inline constexpr std::size_t kBoxLines = 24;
// The text as the box shows it: lines of at most `columns` characters, broken at blanks; a word
// longer than a line (a path, a list of file name patterns) broken after a '/', ';' or ',' where
// it has one, else where it must. The text's own line ends stay. Beyond `lines` lines the last
// shown ends in "...".
std::string WrapBoxText(const std::string& text, std::size_t columns = kBoxColumns, std::size_t lines = kBoxLines);
// The caption and the text on one line (line ends become blanks), the text cut at kMaxBoxLine
// characters (ShortenText).
inline constexpr std::size_t kMaxBoxLine = 4096;
std::string BoxLine(const std::string& caption, const std::string& text);
// text when it has at most limit bytes, else its first bytes (whole UTF-8 characters) and
// "...", limit bytes in all: a value of megabytes quoted in a message.
std::string ShortenText(const std::string& text, std::size_t limit);
// How much of a value from a file a message quotes.
inline constexpr std::size_t kMaxQuotedValue = 200;

// Sets the window title (text in UTF-8). Without an installed title sink it does nothing,
// so code that reports progress can run where no window exists.
void SetStatusTitle(const std::string& utf8Text);

using BoxSink = std::function<void(const std::string& caption, const std::string& text)>;
using TitleSink = std::function<void(const std::string& utf8Text)>;

// Replaces the platform box (an empty sink restores it). Returns the previous sink.
BoxSink SetBoxSink(BoxSink sink);
// Installs the title sink (the window layer installs one once the window exists).
TitleSink SetTitleSink(TitleSink sink);

// Test seam: while alive, records every box and every title instead of showing them.
class BoxRecorder {
public:
    BoxRecorder();
    ~BoxRecorder();
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;

    std::vector<std::pair<std::string, std::string>> Boxes() const;
    std::vector<std::string> Titles() const;
    void Clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> boxes_;
    std::vector<std::string> titles_;
    BoxSink previousBox_;
    TitleSink previousTitle_;
};

}  // namespace TIRN_ERROR
