#pragma once
// A current OpenGL context for tests: one hidden GLUT window per test process, made on first
// use. Needs an X display (the test command starts Xvfb).

namespace redowl_test {

// Makes the context current; returns false when no display is available.
// width and height are those of the first call.
bool EnsureGlContext(int width = 512, int height = 512);

// True once this process has created a GL context.
bool GlContextWasCreated();

}  // namespace redowl_test
