#pragma once
// Window titles. Every title of the system is set through TIRN_ERROR::SetStatusTitle with UTF-8
// text; once the GLUT window exists, InstallWindowTitleSink routes those calls to it.
//
// freeglut writes its title property as Latin-1 text, so it receives a Latin-1 rendering; the
// UTF-8 text itself goes into the _NET_WM_NAME property, which window managers prefer, so
// that Cyrillic titles read correctly.

#include <functional>
#include <string>

#include "grid/regular_grid.h"

namespace WIN_NMS {

// A grid build's progress as window titles ("посторение сетки: 42", then the fill and the final
// "освобождение лишней памяти(оставшаяся память): " with the fill's last percentage; the grid
// decides when there is progress to show, see GridBuildSettings), at most kPerSecond a second: a title
// is set when a stage begins, when the build is done, and otherwise only once 1/kPerSecond
// seconds have passed since the last one. clock gives seconds (steady); set sets a title.
class BuildTitles {
public:
    static constexpr double kPerSecond = 20.0;
    explicit BuildTitles(std::function<void(const std::string&)> set, std::function<double()> clock = {});
    void operator()(RAYTR::GridBuildStage stage, int percent);
    int Count() const { return count_; }

private:
    std::function<void(const std::string&)> set_;
    std::function<double()> clock_;
    double last_ = -1e300;
    int stage_ = -1;
    int count_ = 0;
};

// Latin-1 rendering of UTF-8 text: one byte per code point, '?' for every code point above
// U+00FF and for every malformed sequence.
std::string Utf8ToLatin1(const std::string& utf8);

// Sets the title of the current GLUT window now (both properties). Needs a current window.
void SetWindowTitle(const std::string& utf8);

// Installs SetWindowTitle as the status-title sink. Call once the GLUT window exists.
void InstallWindowTitleSink();

}  // namespace WIN_NMS
