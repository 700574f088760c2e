#pragma once
// The application object: the one owner of the window's state. Every GLUT callback forwards to
// it unchanged. The input handlers keep their state changes free of GL calls so that they can be
// exercised without a window; reshape and display touch GL.

#include <cstdint>

#include "math/vector.h"

namespace CONFIG {
class Lexer;
}

namespace WIN_NMS {

// The scene's single point light as the application keeps it. Stands in for the tracer's light
// record until that exists, with the same fields in the same order; to be replaced by it.
struct LightRecord {
    std::uint8_t r = 0, g = 0, b = 0;                     // colour bytes as last set
    ORVA_MATH::VECTOR colour{0.0f, 0.0f, 0.0f, 0.0f};     // normalised colour
    float ambient = 0.0f;
    ORVA_MATH::VECTOR position{0.0f, 0.0f, 0.0f, 0.0f};   // world coordinates
    float a0 = 0.0f, a1 = 0.0f, a2 = 0.0f;                // constant, linear, quadratic attenuation
};

// Window origin along one axis that centres a window of `size` pixels on a screen of `screen`
// pixels: 32-bit integer division truncating toward zero, so a window larger than the screen
// gets a negative origin and one pixel too wide gets 0.
constexpr std::int32_t CentredOrigin(std::int32_t screen, std::int32_t size) { return (screen - size) / 2; }

// GLUT values the handlers compare with (GLUT_KEY_*, GLUT_LEFT_BUTTON, GLUT_DOWN/GLUT_UP), kept
// here so that the handlers need no GLUT header.
inline constexpr unsigned char kEscapeKey = 27;
inline constexpr int kKeyF2 = 0x0002;
inline constexpr int kKeyLeft = 0x0064;
inline constexpr int kKeyUp = 0x0065;
inline constexpr int kKeyRight = 0x0066;
inline constexpr int kKeyDown = 0x0067;
inline constexpr int kKeyPageUp = 0x0068;
inline constexpr int kKeyPageDown = 0x0069;
inline constexpr int kLeftButton = 0;
inline constexpr int kButtonDown = 0;
inline constexpr int kButtonUp = 1;

class WIN_MAIN_CLASS {
public:
    WIN_MAIN_CLASS();
    // Not virtual: the one application object has static storage. Releases what scene
    // assembly creates (the renderer, then the tracer) once those exist.
    ~WIN_MAIN_CLASS();
    WIN_MAIN_CLASS(const WIN_MAIN_CLASS&) = delete;
    WIN_MAIN_CLASS& operator=(const WIN_MAIN_CLASS&) = delete;

    // One redisplay. An error raised inside has already shown its box; the process then ends
    // with status 0.
    virtual void display();

    void keyboard(unsigned char key, int x, int y);  // Esc ends the process with status 0
    void special(int key, int x, int y);             // F2 toggles the traced-image mode
    void reshape(int width, int height);             // viewport, projection, redisplay
    void mouse(int button, int state, int x, int y);
    void motion(int x, int y);

    // The configuration that scene assembly reads (the process-wide reader).
    void SetConfiguration(CONFIG::Lexer* config) { configuration = config; }

    // Fields, in their fixed order.
    std::int32_t width = 512;         // window size in pixels: from the configuration, then reshape
    std::int32_t height = 512;
    float angleX = 0.0f;              // view rotation about X, degrees
    float angleY = 0.0f;              // view rotation about Y, degrees
    std::int32_t lastPointerX = 0;    // window position of the last press or drag event
    std::int32_t lastPointerY = 0;
    bool leftButtonHeld = false;
    bool tracedImageMode = false;     // false: hybrid frame; true: traced image copied
    LightRecord light;

    CONFIG::Lexer* configuration = nullptr;

    // The size part of reshape: the new window size; no GL.
    void ApplySize(int newWidth, int newHeight);
    // Aspect ratio for the projection; a zero height counts as one pixel so that the ratio
    // stays finite.
    static double AspectRatio(int w, int h) { return static_cast<double>(w) / (h > 0 ? h : 1); }

private:
    // The frame body, run under the error handler of display().
    void Frame();
};

}  // namespace WIN_NMS
