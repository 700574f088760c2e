// Entry point: takes the command line, reads release.cgf (or the model named), opens the centred
// window and hands control to GLUT. Every callback forwards to the one application object;
// nothing else happens before the first display.
#include <GL/freeglut.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "app/command_line.h"
#include "app/config_check.h"
#include "app/start_folder.h"
#include "app/viewer_objects.h"
#include "app/win_main.h"
#include "app/window_title.h"
#include "errors/errors.h"
#include "errors/message_box.h"
#include "grid/kernel.h"

// Last: Xlib's macros (None, Status, ...) would clash with the names above.
#include <X11/Xlib.h>

namespace {

// Process-wide objects, constructed before main in this order and destroyed in reverse.
// "Err.txt" is opened (created empty, or emptied) only once main knows the folder the viewer
// runs in, so that no other folder gets one or loses its own; it is never written. The viewer's
// objects (application object, configuration, model table, then the scene, renderer and tracer
// that assembly makes) are listed in their order in app/viewer_objects.h.
std::ofstream errorLog;
WIN_NMS::ViewerObjects viewer;
WIN_NMS::WIN_MAIN_CLASS& win = viewer.app;
CONFIG::Lexer& config = viewer.config;

// Frames follow one another without pause until the viewer rests (the picture is done and
// nothing moves); then the idle callback is taken away, so that the event loop sleeps until an
// event comes, and every event sets it again.
void OnIdle() {
    if (win.Resting()) {
        glutIdleFunc(nullptr);
        return;
    }
    glutPostRedisplay();
}
void Wake() {
    glutIdleFunc(OnIdle);
    glutPostRedisplay();
}

void OnDisplay() { win.display(); }
void OnKeyboard(unsigned char key, int x, int y) { win.keyboard(key, x, y); Wake(); }
void OnSpecial(int key, int x, int y) { win.special(key, x, y); Wake(); }
void OnReshape(int width, int height) { win.reshape(width, height); Wake(); }
void OnMouse(int button, int state, int x, int y) { win.mouse(button, state, x, y); Wake(); }
void OnMotion(int x, int y) { win.motion(x, y); Wake(); }

}  // namespace

int main(int argc, char** argv) {
    const WIN_NMS::CommandLine arguments = WIN_NMS::ParseCommandLine(WIN_NMS::kViewerProgram, argc, argv);
    WIN_NMS::ModelChoices choices;
    std::string why = arguments.why;
    switch (arguments.action) {
        case WIN_NMS::CommandLine::kHelp:
            std::fputs(WIN_NMS::ViewerUsage().c_str(), stdout);
            return 0;
        case WIN_NMS::CommandLine::kVersion:
            std::fputs(WIN_NMS::VersionText("redowl").c_str(), stdout);
            return 0;
        case WIN_NMS::CommandLine::kRun:
            if (WIN_NMS::ReadModelChoices(arguments, choices, &why)) break;
            [[fallthrough]];
        case WIN_NMS::CommandLine::kBad:
            std::fprintf(stderr, "redowl: %s\n%s", why.c_str(), WIN_NMS::ViewerUsage().c_str());
            return 2;
    }
    // A REDOWL_ISA that names ray kernels this processor cannot run is refused before anything
    // is opened or written.
    const std::string refusedIsa = RAYTR::CheckIsaEnvironment();
    if (!refusedIsa.empty()) {
        TIRN_ERROR::ShowErrorBox("Error: ", refusedIsa);
        return 1;
    }
    try {
        WIN_NMS::OpenStartScene(arguments.places, choices, config, errorLog);
    } catch (const TIRN_ERROR::File_Error&) {
        // The box has been shown and dismissed; no window is opened and the start-up failed.
        return 1;
    }
    CONFIG::ReportConfigurationWarnings(config, "release.cgf", stderr);

    // Without a display freeglut would say only that it failed to open one.
    if (Display* display = XOpenDisplay(nullptr)) {
        XCloseDisplay(display);
    } else {
        const char* name = std::getenv("DISPLAY");
        std::fprintf(stderr,
                     "redowl: can not open the display%s%s; redowl-snapshot renders without one, into a PNG file "
                     "(redowl-snapshot [options] [DIR | FILE...] --out picture.png)\n",
                     name && *name ? " " : " (DISPLAY is not set)", name && *name ? name : "");
        return 1;
    }

    // The arguments are the viewer's own: GLUT gets only the program's name, so that no folder
    // or file name is taken for one of its options.
    int glutArgc = 1;
    glutInit(&glutArgc, argv);
    // However the process ends (Esc, an error, the window closed), the window and its GL
    // context are released before the static objects go, while the GL driver is still loaded.
    std::atexit([] { glutExit(); });
    // Closing the window returns from the event loop, so the process ends normally with 0.
    glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_GLUTMAINLOOP_RETURNS);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);

    // The mode and the marker to start with (F2 and m change them).
    win.tracedImageMode = choices.traced;
    win.showLightMarker = !choices.noMarker;
    win.width = config.GetInt("win.width");
    win.height = config.GetInt("win.height");
    glutInitWindowSize(win.width, win.height);
    glutInitWindowPosition(WIN_NMS::CentredOrigin(glutGet(GLUT_SCREEN_WIDTH), win.width),
                           WIN_NMS::CentredOrigin(glutGet(GLUT_SCREEN_HEIGHT), win.height));
    glutCreateWindow("RED OWL");
    // From here on every title, this first one included, reaches the window in both encodings.
    WIN_NMS::InstallWindowTitleSink();
    TIRN_ERROR::SetStatusTitle("RED OWL");

    glutDisplayFunc(OnDisplay);
    glutKeyboardFunc(OnKeyboard);
    glutSpecialFunc(OnSpecial);
    glutReshapeFunc(OnReshape);
    glutMouseFunc(OnMouse);
    glutMotionFunc(OnMotion);
    glutIdleFunc(OnIdle);

    glutMainLoop();
    return 0;
}
