#include "app/win_main.h"

#include <GL/freeglut.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <new>
#include <thread>

#include "app/config.h"
#include "app/viewer_objects.h"
#include "errors/errors.h"
#include "grid/regular_grid.h"
#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"
#include "render/render.h"

namespace WIN_NMS {

static_assert(kKeyF2 == GLUT_KEY_F2 && kKeyLeft == GLUT_KEY_LEFT && kKeyUp == GLUT_KEY_UP &&
              kKeyRight == GLUT_KEY_RIGHT && kKeyDown == GLUT_KEY_DOWN && kKeyPageUp == GLUT_KEY_PAGE_UP &&
              kKeyPageDown == GLUT_KEY_PAGE_DOWN);
static_assert(kKeyF3 == GLUT_KEY_F3 && kKeyF4 == GLUT_KEY_F4 && kKeyF11 == GLUT_KEY_F11 && kKeyF12 == GLUT_KEY_F12);
static_assert(kLeftButton == GLUT_LEFT_BUTTON && kButtonDown == GLUT_DOWN && kButtonUp == GLUT_UP);
static_assert(kKeyHome == GLUT_KEY_HOME && kMiddleButton == GLUT_MIDDLE_BUTTON && kRightButton == GLUT_RIGHT_BUTTON);

WIN_MAIN_CLASS::WIN_MAIN_CLASS() {
    // The light before assembly: colour w, ambient, position w and attenuation set, rest zero.
    light.colour = ORVA_MATH::VECTOR(0.0f, 0.0f, 0.0f, 1.0f);
    light.ambient = 1.0f;
    light.position = ORVA_MATH::VECTOR(0.0f, 0.0f, 0.0f, 1.0f);
    light.a0 = 1.0f;
    light.a1 = 0.01f;
    light.a2 = 0.001f;
}

RAYTR::Scene* WIN_MAIN_CLASS::scene() const { return process ? process->scene.get() : nullptr; }
Renderer* WIN_MAIN_CLASS::renderer() const { return process ? process->renderer.get() : nullptr; }
RAYTR::ScreenTracer* WIN_MAIN_CLASS::tracer() const { return process ? process->tracer.get() : nullptr; }

void WIN_MAIN_CLASS::display() {
    try {
        glClearColor(0.0f, 0.0f, 0.25f, 0.0f);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        if (frame.firstFrame) {
            // Assembly only: nothing is presented and no frame is counted.
            AssembleScene();
            frame.firstFrame = false;
            return;
        }
        if (width <= 0 || height <= 0) return;  // minimised: nothing to trace until the window is back
        Frame();
    } catch (const TIRN_ERROR::Error&) {
        // The box was shown when the error was made; end, static destructors included.
        std::exit(errorExitStatus);
    } catch (const std::bad_alloc&) {
        // Constructing the error shows its box.
        TIRN_ERROR::Error("There is not enough memory to go on");
        std::exit(errorExitStatus);
    }
}

void WIN_MAIN_CLASS::keyboard(unsigned char key, int, int) {
    if (key == kEscapeKey) std::exit(0);  // static objects are destroyed on the way out
    // The controls stay over the picture until the next key, which also does what it does.
    const bool helpShown = showHelp;
    showHelp = false;
    if (key == kHelpKey || key == 'H' || key == '?') showHelp = !helpShown;
    if (key == kResumeKey || key == kResumeKeyAlt) frame.lightPaused = !frame.lightPaused;
    if (key == kFrameKey || key == 'F') FrameModels();
    if (key == kMarkerKey || key == 'M') {
        showLightMarker = !showLightMarker;
        // The mask from the depth buffer saw the marker's depth where it was drawn.
        accumulation.Restart();
    }
    if ((key == kDenoiseKey || key == 'D') && tracer() != nullptr) {
        // The same samples shown the other way: no new picture.
        tracer()->denoise = !tracer()->denoise;
        tracer()->ShowAgain();
    }
    if (key == kUpKey) TurnFramedModels(1);
    if (key == 'U') TurnFramedModels(-1);
    if (key == kFrontKey) ViewFrom(0.0f, 0.0f);
    if (key == kSideKey) ViewFrom(0.0f, -90.0f);
    if (key == kTopKey) ViewFrom(90.0f, 0.0f);
}

void WIN_MAIN_CLASS::special(int key, int, int) {
    showHelp = false;
    // One unit of light movement per key press. Moving the light by hand pauses its animation,
    // which would otherwise overwrite x, y and z on the next frame; 'p' or Space resume it.
    switch (key) {
        case kKeyF2: tracedImageMode = !tracedImageMode; return;
        case kKeyF3: views.CycleGrid(); return;
        case kKeyF4: views.CycleMask(tracer()); return;
        case kKeyF11: views.RequestScreenshot(); return;  // taken from the next frame, before its swap
        case kKeyF12: PrintStatistics(std::cout); return;
        case kKeyHome: GoHome(); return;
        case kKeyLeft: light.position.x -= 1.0f; break;
        case kKeyRight: light.position.x += 1.0f; break;
        case kKeyUp: light.position.y += 1.0f; break;
        case kKeyDown: light.position.y -= 1.0f; break;
        case kKeyPageUp: light.position.z -= 1.0f; break;
        case kKeyPageDown: light.position.z += 1.0f; break;
        default: return;
    }
    frame.lightPaused = true;
}

void WIN_MAIN_CLASS::PrintStatistics(std::ostream& out) const {
    const RAYTR::Scene* const scene = this->scene();
    if (!scene || !process) return;  // nothing assembled yet
    InspectViews::PrintStatistics(*scene, timings, out);
    budget.Print(out);
}

void WIN_MAIN_CLASS::ApplySize(int newWidth, int newHeight) {
    width = newWidth;
    height = newHeight;
}

void WIN_MAIN_CLASS::mouse(int button, int state, int x, int y) {
    if (button == kWheelUp || button == kWheelDown) {
        // One step per press, towards the point under the cursor's pixel (its centre).
        if (state == kButtonDown) ZoomAt(x + 0.5, y + 0.5, button == kWheelUp ? kWheelZoom : 1.0 / kWheelZoom);
        return;
    }
    bool* held = button == kLeftButton ? &leftButtonHeld
                 : (button == kRightButton || button == kMiddleButton) ? &camera.panButtonHeld
                                                                       : nullptr;
    if (held == nullptr) return;
    if (state == kButtonDown) {
        *held = true;
        lastPointerX = x;
        lastPointerY = y;
    } else if (state == kButtonUp) {
        *held = false;  // the last pointer position stays
    }
}

void WIN_MAIN_CLASS::motion(int x, int y) {
    if (!leftButtonHeld && !camera.panButtonHeld) return;
    const int dy = y - lastPointerY;
    const int dx = x - lastPointerX;
    lastPointerX = x;
    lastPointerY = y;
    if (leftButtonHeld) {
        // Half a degree per pixel: vertical drag tilts about X, horizontal drag turns about Y.
        angleX += 0.5f * static_cast<float>(dy);
        angleY += 0.5f * static_cast<float>(dx);
    } else {
        PanBy(dx, dy);
    }
}

}  // namespace WIN_NMS
