#include "app/win_main.h"

#include <GL/freeglut.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "app/window_title.h"

namespace {

using WIN_NMS::CentredOrigin;
using WIN_NMS::WIN_MAIN_CLASS;

TEST(WinMainTest, CentredOriginTruncatesTowardZero) {
    EXPECT_EQ(CentredOrigin(1920, 800), 560);
    EXPECT_EQ(CentredOrigin(1080, 600), 240);
    EXPECT_EQ(CentredOrigin(1920, 321), 799);   // 799.5 truncates, not rounds
    EXPECT_EQ(CentredOrigin(1920, 1921), 0);    // -1 / 2 is 0, not -1
    EXPECT_EQ(CentredOrigin(1920, 1923), -1);   // -3 / 2 is -1, not -2
    EXPECT_EQ(CentredOrigin(1080, 0), 540);     // absent size keys give 0
    EXPECT_EQ(CentredOrigin(1920, 4000), -1040);
}

TEST(WinMainTest, InitialFieldsAndLight) {
    WIN_MAIN_CLASS w;
    EXPECT_EQ(w.width, 512);
    EXPECT_EQ(w.height, 512);
    EXPECT_EQ(w.angleX, 0.0f);
    EXPECT_EQ(w.angleY, 0.0f);
    EXPECT_FALSE(w.leftButtonHeld);
    EXPECT_FALSE(w.tracedImageMode);
    EXPECT_EQ(w.light.r + w.light.g + w.light.b, 0);
    EXPECT_EQ(w.light.colour.x, 0.0f);
    EXPECT_EQ(w.light.colour.w, 1.0f);
    EXPECT_EQ(w.light.ambient, 1.0f);
    EXPECT_EQ(w.light.position.x, 0.0f);
    EXPECT_EQ(w.light.position.w, 1.0f);
    EXPECT_EQ(w.light.a0, 1.0f);
    EXPECT_EQ(w.light.a1, 0.01f);
    EXPECT_EQ(w.light.a2, 0.001f);
}

TEST(WinMainTest, LeftDragTurnsHalfADegreePerPixel) {
    WIN_MAIN_CLASS w;
    // Motion without a held button changes nothing.
    w.motion(50, 50);
    EXPECT_EQ(w.angleX, 0.0f);
    EXPECT_EQ(w.lastPointerX, 0);

    w.mouse(WIN_NMS::kLeftButton, WIN_NMS::kButtonDown, 100, 200);
    EXPECT_TRUE(w.leftButtonHeld);
    EXPECT_EQ(w.lastPointerX, 100);
    EXPECT_EQ(w.lastPointerY, 200);

    w.motion(100, 210);  // 10 pixels down: +5 degrees about X
    EXPECT_EQ(w.angleX, 5.0f);
    EXPECT_EQ(w.angleY, 0.0f);
    w.motion(93, 207);   // 7 left, 3 up; deltas from the last drag event, not the press
    EXPECT_EQ(w.angleX, 3.5f);
    EXPECT_EQ(w.angleY, -3.5f);
    EXPECT_EQ(w.lastPointerX, 93);
    EXPECT_EQ(w.lastPointerY, 207);

    // Release keeps the last position; further motion is ignored.
    w.mouse(WIN_NMS::kLeftButton, WIN_NMS::kButtonUp, 500, 500);
    EXPECT_FALSE(w.leftButtonHeld);
    EXPECT_EQ(w.lastPointerX, 93);
    w.motion(0, 0);
    EXPECT_EQ(w.angleX, 3.5f);

    // The right and the middle button do not turn the view: they pan it (the picture follows
    // the cursor to the right, so the centre goes left).
    for (const int button : {GLUT_RIGHT_BUTTON, GLUT_MIDDLE_BUTTON}) {
        const double x = w.View().centre.x;
        w.mouse(button, GLUT_DOWN, 1, 1);
        w.motion(30, 1);
        w.mouse(button, GLUT_UP, 30, 1);
        EXPECT_FALSE(w.leftButtonHeld);
        EXPECT_EQ(w.angleY, -3.5f);
        EXPECT_LT(w.View().centre.x, x - 0.1);
    }
}

TEST(WinMainTest, SpecialKeys) {
    WIN_MAIN_CLASS w;
    w.special(GLUT_KEY_F2, 0, 0);
    EXPECT_TRUE(w.tracedImageMode);
    w.ApplySize(300, 200);  // the mode survives a resize
    EXPECT_TRUE(w.tracedImageMode);
    w.special(GLUT_KEY_F2, 0, 0);
    EXPECT_FALSE(w.tracedImageMode);
    w.special(GLUT_KEY_F1, 0, 0);
    EXPECT_FALSE(w.tracedImageMode);

    w.special(GLUT_KEY_LEFT, 0, 0);
    w.special(GLUT_KEY_UP, 0, 0);
    w.special(GLUT_KEY_UP, 0, 0);
    w.special(GLUT_KEY_PAGE_DOWN, 0, 0);
    EXPECT_EQ(w.light.position.x, -1.0f);
    EXPECT_EQ(w.light.position.y, 2.0f);
    EXPECT_EQ(w.light.position.z, 1.0f);
    EXPECT_EQ(w.light.position.w, 1.0f);
    w.special(GLUT_KEY_RIGHT, 0, 0);
    w.special(GLUT_KEY_DOWN, 0, 0);
    w.special(GLUT_KEY_PAGE_UP, 0, 0);
    EXPECT_EQ(w.light.position.x, 0.0f);
    EXPECT_EQ(w.light.position.y, 1.0f);
    EXPECT_EQ(w.light.position.z, 0.0f);
}

TEST(WinMainTest, LightPathByElapsedTimeAndPause) {
    WIN_MAIN_CLASS w;
    w.light.position.w = 0.0f;
    // The first step places the light at angle 1 whatever the clock says.
    w.AnimateLight(1000.0);
    EXPECT_EQ(w.light.position.x, 4.0f * static_cast<float>(std::cos(1.0)));
    EXPECT_EQ(w.light.position.y, static_cast<float>(std::cos(1.0)) + 2.0f);
    EXPECT_EQ(w.light.position.z, 8.0f * static_cast<float>(std::sin(1.0)));
    EXPECT_EQ(w.light.position.w, 0.0f);
    EXPECT_EQ(w.frame.lightAngle, 1.0f);
    // Then half a radian per second of elapsed time, however the frames are spaced.
    w.AnimateLight(1000.5);
    w.AnimateLight(1002.0);
    EXPECT_FLOAT_EQ(w.frame.lightAngle, 2.0f);
    EXPECT_EQ(w.light.position.z, 8.0f * static_cast<float>(std::sin(static_cast<double>(w.frame.lightAngle))));
    // Moving the light by hand pauses the path; F2 and other keys neither pause nor resume.
    w.special(GLUT_KEY_F2, 0, 0);
    EXPECT_FALSE(w.frame.lightPaused);
    w.special(GLUT_KEY_DOWN, 0, 0);
    EXPECT_TRUE(w.frame.lightPaused);
    const float y = w.light.position.y;
    w.AnimateLight(1010.0);
    EXPECT_EQ(w.light.position.y, y);
    EXPECT_FLOAT_EQ(w.frame.lightAngle, 2.0f);
    w.keyboard('q', 0, 0);
    w.special(GLUT_KEY_F1, 0, 0);
    EXPECT_TRUE(w.frame.lightPaused);
    // 'p' resumes from where the light stood: the time paused does not count.
    w.keyboard('p', 0, 0);
    EXPECT_FALSE(w.frame.lightPaused);
    w.AnimateLight(5000.0);
    EXPECT_FLOAT_EQ(w.frame.lightAngle, 2.0f);
    w.AnimateLight(5001.0);
    EXPECT_FLOAT_EQ(w.frame.lightAngle, 2.5f);
    // 'p' and Space stop and resume in turn.
    w.keyboard('p', 0, 0);
    EXPECT_TRUE(w.frame.lightPaused);
    w.keyboard(' ', 0, 0);
    EXPECT_FALSE(w.frame.lightPaused);
    w.special(GLUT_KEY_PAGE_UP, 0, 0);
    w.keyboard(' ', 0, 0);
    EXPECT_FALSE(w.frame.lightPaused);
}

TEST(WinMainTest, SizeAndAspect) {
    WIN_MAIN_CLASS w;
    w.ApplySize(640, 480);
    EXPECT_EQ(w.width, 640);
    EXPECT_EQ(w.height, 480);
    EXPECT_DOUBLE_EQ(WIN_MAIN_CLASS::AspectRatio(640, 480), 640.0 / 480.0);
    // A zero-height window keeps a finite aspect.
    EXPECT_DOUBLE_EQ(WIN_MAIN_CLASS::AspectRatio(640, 0), 640.0);
}

TEST(WindowTitleTest, Utf8ToLatin1) {
    EXPECT_EQ(WIN_NMS::Utf8ToLatin1("RED OWL"), "RED OWL");
    EXPECT_EQ(WIN_NMS::Utf8ToLatin1("FPS=60"), "FPS=60");
    // Latin-1 letters map to their single byte.
    EXPECT_EQ(WIN_NMS::Utf8ToLatin1("caf\xC3\xA9 \xC3\xBF"), "caf\xE9 \xFF");
    // Cyrillic: one '?' per character, not per byte.
    EXPECT_EQ(WIN_NMS::Utf8ToLatin1("\xD0\x98\xD0\xBD\xD0\xB8 x"), "??? x");
    // Four-byte and three-byte sequences.
    EXPECT_EQ(WIN_NMS::Utf8ToLatin1("a\xF0\x9F\xA6\x89" "b\xE2\x82\xAC" "c"), "a?b?c");
    // Malformed: stray continuation, truncated sequence, overlong form, surrogate.
    EXPECT_EQ(WIN_NMS::Utf8ToLatin1("\x80" "A"), "?A");
    EXPECT_EQ(WIN_NMS::Utf8ToLatin1("\xD0" "A"), "?A");
    EXPECT_EQ(WIN_NMS::Utf8ToLatin1("\xE2\x82"), "?");
    EXPECT_EQ(WIN_NMS::Utf8ToLatin1("\xC1\x81"), "?");
    EXPECT_EQ(WIN_NMS::Utf8ToLatin1("\xED\xA0\x80"), "?");
    EXPECT_EQ(WIN_NMS::Utf8ToLatin1(""), "");
}

}  // namespace
