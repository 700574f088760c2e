#include "app/window_title.h"

// gtest before the X headers, whose macros (None, Bool) clash with its names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "errors/message_box.h"
#include "tests/support/gl_context.h"

#include <GL/freeglut.h>
#include <GL/glx.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace {

// The raw bytes and type of a text property of the current GLUT window.
std::string ReadProperty(const char* name, Atom* type) {
    Display* d = glXGetCurrentDisplay();
    const Window w = glXGetCurrentDrawable();
    XSync(d, False);
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string value;
    if (XGetWindowProperty(d, w, XInternAtom(d, name, False), 0, 1024, False, AnyPropertyType, &actualType,
                           &format, &count, &after, &data) == Success &&
        data) {
        value.assign(reinterpret_cast<const char*>(data), count);
        XFree(data);
    }
    *type = actualType;
    return value;
}

TEST(WindowTitleTest, StatusTitleReachesBothPropertiesOnceInstalled) {
    ASSERT_TRUE(redowl_test::EnsureGlContext()) << "needs an X display";
    Display* d = glXGetCurrentDisplay();

    const std::string russian = "\xD0\x98\xD0\xBD\xD0\xB8\xD1\x86 \xC3\xA9 FPS=5";  // "Иниц é FPS=5"
    const TIRN_ERROR::TitleSink previous = TIRN_ERROR::SetTitleSink({});
    WIN_NMS::InstallWindowTitleSink();
    TIRN_ERROR::SetStatusTitle(russian);
    glutMainLoopEvent();  // freeglut may apply the title on its next event pass

    Atom type = None;
    EXPECT_EQ(ReadProperty("_NET_WM_NAME", &type), russian);
    EXPECT_EQ(type, XInternAtom(d, "UTF8_STRING", False));
    EXPECT_EQ(ReadProperty("WM_NAME", &type), "???? \xE9 FPS=5");
    EXPECT_EQ(type, XA_STRING);

    TIRN_ERROR::SetStatusTitle("redowl_tests");
    glutMainLoopEvent();
    TIRN_ERROR::SetTitleSink(previous);
}

// A build's progress becomes titles at most 20 a second: a new stage and the end always show,
// steps of one stage within 50 ms do not.
TEST(BuildTitlesTest, AtMostTwentyTitlesASecondAndEveryStageShown) {
    double now = 0.0;
    std::vector<std::string> titles;
    WIN_NMS::BuildTitles progress([&](const std::string& t) { titles.push_back(t); }, [&] { return now; });
    using Stage = RAYTR::GridBuildStage;
    for (int percent = 0; percent <= 100; ++percent) {  // 101 steps of 1/512 s
        progress(Stage::kCells, percent);
        now += 1.0 / 512.0;
    }
    progress(Stage::kFill, 0);   // a new stage: shown at once
    progress(Stage::kFill, 50);  // 0 ms later: not shown
    now += 0.06;
    progress(Stage::kFill, 90);
    progress(Stage::kDone, 100);
    ASSERT_EQ(titles.size(), 4u + 3u);  // cells at 0, 50, 100, 150 ms; fill twice; the end
    EXPECT_EQ(titles.front(), "посторение сетки: 0");
    EXPECT_EQ(titles[4], "освобождение лишней памяти(ячейки): 0");
    EXPECT_EQ(titles[5], "освобождение лишней памяти(ячейки): 90");
    EXPECT_EQ(titles.back(), "освобождение лишней памяти(оставшаяся память): 100");
    EXPECT_EQ(progress.Count(), 7);
}

}  // namespace
