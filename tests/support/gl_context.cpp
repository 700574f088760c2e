#include "tests/support/gl_context.h"

#include <GL/freeglut.h>

#include <cstdlib>

namespace redowl_test {

namespace {
int window = 0;
}

bool GlContextWasCreated() { return window != 0; }

bool EnsureGlContext(int width, int height) {
    if (window) {
        glutSetWindow(window);
        return true;
    }
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return false;
    int argc = 1;
    char name[] = "redowl_tests";
    char* argv[] = {name, nullptr};
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    glutInitWindowSize(width, height);
    window = glutCreateWindow("redowl_tests");
    glutDisplayFunc([] {});
    // Let the window map so that reads of the back buffer have a drawable.
    for (int i = 0; i < 10; ++i) glutMainLoopEvent();
    return window != 0;
}

}  // namespace redowl_test
