#include "app/window_title.h"

#include <chrono>
#include <utility>

#include <GL/freeglut.h>
#include <GL/glx.h>
#include <X11/Xlib.h>

#include "errors/message_box.h"

namespace WIN_NMS {

std::string Utf8ToLatin1(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    const std::size_t n = utf8.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char lead = static_cast<unsigned char>(utf8[i]);
        // Sequence length and the payload bits of the lead byte.
        std::size_t len = 0;
        unsigned long cp = 0;
        if (lead < 0x80) {
            len = 1;
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            len = 2;
            cp = lead & 0x1Fu;
        } else if ((lead & 0xF0) == 0xE0) {
            len = 3;
            cp = lead & 0x0Fu;
        } else if ((lead & 0xF8) == 0xF0) {
            len = 4;
            cp = lead & 0x07u;
        } else {
            out.push_back('?');  // stray continuation byte or invalid lead
            ++i;
            continue;
        }
        // Continuation bytes: each must be 10xxxxxx and present.
        std::size_t k = 1;
        for (; k < len && i + k < n; ++k) {
            const unsigned char c = static_cast<unsigned char>(utf8[i + k]);
            if ((c & 0xC0) != 0x80) break;
            cp = (cp << 6) | (c & 0x3Fu);
        }
        if (k < len) {
            out.push_back('?');  // truncated sequence: resynchronise at the byte that broke it
            i += k;
            continue;
        }
        // Overlong forms and surrogates are malformed; code points above U+00FF do not fit.
        static const unsigned long kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
        const bool malformed = cp < kMinimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF);
        out.push_back(!malformed && cp <= 0xFF ? static_cast<char>(cp) : '?');
        i += len;
    }
    return out;
}

void SetWindowTitle(const std::string& utf8) {
    glutSetWindowTitle(Utf8ToLatin1(utf8).c_str());
    // The GLUT window is the current GLX drawable; its display connection is freeglut's.
    Display* display = glXGetCurrentDisplay();
    const GLXDrawable window = glXGetCurrentDrawable();
    if (!display || !window) return;
    const Atom netWmName = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8String = XInternAtom(display, "UTF8_STRING", False);
    XChangeProperty(display, window, netWmName, utf8String, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(utf8.data()), static_cast<int>(utf8.size()));
    XFlush(display);
}

void InstallWindowTitleSink() {
    TIRN_ERROR::SetTitleSink([](const std::string& utf8) { SetWindowTitle(utf8); });
}

BuildTitles::BuildTitles(std::function<void(const std::string&)> set, std::function<double()> clock)
    : set_(std::move(set)), clock_(std::move(clock)) {
    if (!clock_)
        clock_ = [] { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); };
}

void BuildTitles::operator()(RAYTR::GridBuildStage stage, int percent) {
    static const char* const kTexts[] = {"посторение сетки: ", "освобождение лишней памяти(ячейки): ",
                                         "освобождение лишней памяти(оставшаяся память): "};
    const int s = static_cast<int>(stage);
    const double now = clock_();
    if (s == stage_ && stage != RAYTR::GridBuildStage::kDone && now - last_ < 1.0 / kPerSecond) return;
    stage_ = s;
    last_ = now;
    ++count_;
    set_(kTexts[s] + std::to_string(percent));
}

}  // namespace WIN_NMS
