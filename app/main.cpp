// Entry point: reads release.cgf, opens the window and hands control to GLUT.
#include <cstdio>

int main() {
    std::puts("RED OWL");
    return 0;
}
