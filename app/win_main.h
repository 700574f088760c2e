#pragma once
// The application object: the one owner of the window's state. Every GLUT callback forwards to
// it unchanged. The input handlers keep their state changes free of GL calls so that they can be
// exercised without a window; reshape, scene assembly and display touch GL.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <vector>

#include "app/accumulation.h"
#include "app/camera.h"
#include "app/frame_budget.h"
#include "app/inspect_views.h"
#include "loaders/up_axis.h"
#include "math/matrix.h"
#include "math/vector.h"
#include "raytracer/ray.h"

namespace CONFIG {
class Lexer;
}
namespace RAYTR {
class Scene;
class ScreenTracer;
class TObject;
}  // namespace RAYTR
namespace ORVA_GRAPHICS {
struct OpenGL_HAL;
template <class HAL, class SCENE>
class RENDER;
}  // namespace ORVA_GRAPHICS

namespace WIN_NMS {

struct ViewerObjects;

using Renderer = ORVA_GRAPHICS::RENDER<ORVA_GRAPHICS::OpenGL_HAL, RAYTR::Scene>;

// Room in the model table: "scene.N_models" may name at most this many models.
inline constexpr int kModelTableSize = 5;

// Window origin along one axis that centres a window of `size` pixels on a screen of `screen`
// pixels: 32-bit integer division truncating toward zero, so a window larger than the screen
// gets a negative origin and one pixel too wide gets 0.
constexpr std::int32_t CentredOrigin(std::int32_t screen, std::int32_t size) { return (screen - size) / 2; }

// GLUT values the handlers compare with (GLUT_KEY_*, GLUT_LEFT_BUTTON, GLUT_DOWN/GLUT_UP), kept
// here so that the handlers need no GLUT header.
inline constexpr unsigned char kEscapeKey = 27;
inline constexpr unsigned char kResumeKey = 'p';       // stops or resumes the light animation
inline constexpr unsigned char kResumeKeyAlt = ' ';    // so does Space
inline constexpr unsigned char kFrameKey = 'f';        // frames the models again ('F' too)
inline constexpr unsigned char kHelpKey = 'h';         // shows the controls until the next key ('?' too)
inline constexpr unsigned char kMarkerKey = 'm';       // hides or shows the light's marker
inline constexpr unsigned char kDenoiseKey = 'd';      // the traced image denoised or the plain mean
inline constexpr unsigned char kUpKey = 'u';           // turns the framed models to the next up axis ('U': back)
inline constexpr unsigned char kFrontKey = '1';        // front, side (from +x) and top views of the
inline constexpr unsigned char kSideKey = '3';         // framed models
inline constexpr unsigned char kTopKey = '7';
inline constexpr int kKeyF2 = 0x0002;
inline constexpr int kKeyF3 = 0x0003;   // cycles the grid view
inline constexpr int kKeyF4 = 0x0004;   // cycles the mask view
inline constexpr int kKeyF11 = 0x000B;  // screenshot
inline constexpr int kKeyF12 = 0x000C;  // grid statistics and frame timings
inline constexpr int kKeyLeft = 0x0064;
inline constexpr int kKeyUp = 0x0065;
inline constexpr int kKeyRight = 0x0066;
inline constexpr int kKeyDown = 0x0067;
inline constexpr int kKeyPageUp = 0x0068;
inline constexpr int kKeyPageDown = 0x0069;
inline constexpr int kKeyHome = 0x006A;  // back to the first view
inline constexpr int kLeftButton = 0;
inline constexpr int kMiddleButton = 1;  // drag: pans, like the right button
inline constexpr int kRightButton = 2;
inline constexpr int kWheelUp = 3;       // the wheel's steps come as presses of buttons 3 and 4
inline constexpr int kWheelDown = 4;
inline constexpr int kButtonDown = 0;
inline constexpr int kButtonUp = 1;

// Frame state: one record per process, like the application object that holds it.
struct FrameState {
    bool firstFrame = true;        // set until scene assembly has run
    float lightAngle = 1.0f;       // radians
    float lightSpeed = 0.5f;       // radians per second
    double lightClock = 0.0;       // seconds (steady clock) of the light's last step
    bool lightClockRunning = false;  // false: the next step is the first after a start or a stop
    float frameRate = 60.0f;       // last measured, for the title
    std::uint32_t frameCount = 0;  // frames in the current measuring window
    std::int32_t windowStart = 0;  // GLUT_ELAPSED_TIME (ms) at which the window began
    bool lightPaused = false;      // the arrow and page keys move the light by hand
    char title[96] = {};           // the title last shown (sent again only when it changes)
    bool rested = false;           // the last display only showed the picture again
    std::uint32_t latticePhase = 0;  // counts the lattice frames: their lattice offsets in turn
    std::uint32_t fillFrames = 0;    // filling-in frames of the current picture
    int maskStep = 0;              // the last hybrid frame's mask step (0: it traced no mask)
};

// The camera besides the two view angles (which stay the application object's angleX and
// angleY): the centre the scene turns about and the eye's distance from it (app/camera.h),
// what the first view is, and the boxes that framing and the clipping planes need, measured
// once at assembly (the models never move).
struct CameraState {
    Vec3 centre;              // world coordinates
    double distance = 15.0;   // eye to centre
    bool framedFirstView = false;  // "scene.camera = frame": the first view frames the models
    std::vector<unsigned> framedModels;  // the models the first view and the f key frame
    Bounds framed;            // their box
    Bounds scene;             // every model, for the clipping planes
    bool panButtonHeld = false;  // right or middle button
    // Per scene object, for the u key: the up axis it was loaded with, the one it shows now,
    // and its transform as loaded.
    std::vector<LOAD_3DS::UpAxis> loadedUp, shownUp;
    std::vector<ORVA_MATH::MATRIX> loadedTransform;
};

// Wall-clock seconds of the stages of the last frame (zero for stages the mode skips), and of
// scene assembly.
struct FrameTimings {
    double assembly = 0.0;
    double preview = 0.0;     // hybrid: OpenGL preview
    double depthRead = 0.0;   // hybrid: depth read-back (zero without useZBuffer)
    double tracing = 0.0;     // shadow mask, or the full image
    double upload = 0.0;      // hybrid: mask upload and overlay; traced: copy to the window
    double resize = 0.0;      // re-creating the renderer and the tracer after a resize
    double views = 0.0;       // the grid and mask views (zero while they are off)
    double swap = 0.0;        // the swap: the driver finishes the frame and shows it
    double frame = 0.0;       // the whole frame, the swap included
    // What the traced image's frame traced: its lattice step (1: every pixel), the share of
    // the pixels it shaded, and what it was.
    int latticeStep = 1;
    double shading = 0.0;  // traced image: the part of tracing that shaded the traced pixels
    double tracedShare = 0.0;
    const char* kind = "hybrid";  // "full", "lattice", "fill-in", "pass", "shown" or "hybrid"
};

class WIN_MAIN_CLASS {
public:
    WIN_MAIN_CLASS();
    // Not virtual: the one application object has static storage.
    ~WIN_MAIN_CLASS() = default;
    WIN_MAIN_CLASS(const WIN_MAIN_CLASS&) = delete;
    WIN_MAIN_CLASS& operator=(const WIN_MAIN_CLASS&) = delete;

    // One redisplay: the first assembles the scene and presents nothing, every later one is a
    // frame, after re-creating the renderer and the tracer when the window's size has changed;
    // a window without pixels (minimised) pauses. An error raised inside has already shown its
    // box; the process then ends with errorExitStatus.
    virtual void display();

    // Esc ends the process; 'p' or Space stop or resume the light; f frames; h or ? the
    // controls; m the marker; u the up axis; 1, 3, 7 the views. Every key ends the controls' view.
    void keyboard(unsigned char key, int x, int y);
    void special(int key, int x, int y);             // F2 toggles the mode; F3, F4, F11, F12 the views; arrows and pages move the light; Home
    void reshape(int width, int height);             // viewport, projection, redisplay
    void mouse(int button, int state, int x, int y); // left: turn; right, middle: pan; wheel: zoom
    void motion(int x, int y);

    // The owner of the objects that scene assembly fills (ViewerObjects sets itself).
    void SetProcessObjects(ViewerObjects* objects) { process = objects; }

    // Scene assembly, in its fixed order; throws what its steps throw (the boxes are shown by
    // then). display() runs it under the handler that ends the process.
    void AssembleScene();
    // One frame after assembly (light, rotation, hybrid or traced frame, swap, frame rate);
    // throws what the frame throws.
    void Frame();

    // Fields, in their fixed order.
    std::int32_t width = 512;         // window size in pixels: from the configuration, then reshape
    std::int32_t height = 512;
    float angleX = 0.0f;              // view rotation about X, degrees
    float angleY = 0.0f;              // view rotation about Y, degrees
    std::int32_t lastPointerX = 0;    // window position of the last press or drag event
    std::int32_t lastPointerY = 0;
    bool leftButtonHeld = false;
    bool tracedImageMode = false;     // false: hybrid frame; true: traced image copied
    bool showHelp = false;            // the controls over the picture, until the next key
    bool showLightMarker = true;      // the white sphere at the light in the preview
    RAYTR::LightSource light;
    CameraState camera;

    ViewerObjects* process = nullptr;
    FrameState frame;
    FrameTimings timings;
    InspectViews views;
    Accumulation accumulation;  // the settling picture
    FrameBudget budget;         // the traced image's frame budget while the view moves
    // Status the process ends with after an error box during assembly or a frame: a failure
    // must not look like success to whoever started the process.
    int errorExitStatus = 1;
    // Called after the frame is drawn and before the buffers are swapped, with the window's
    // back buffer current (the snapshot program reads the picture here).
    std::function<void()> beforeSwap;

    // The size part of reshape: the new window size; no GL.
    void ApplySize(int newWidth, int newHeight);
    // Aspect ratio for the projection; a zero height counts as one pixel so that the ratio
    // stays finite.
    static double AspectRatio(int w, int h) { return static_cast<double>(w) / (h > 0 ? h : 1); }
    // Moves the light along its path to the time `now` (seconds on a steady clock): the angle
    // grows by the speed times the time since the last step (nothing at the first step after
    // the start or after a stop, so the light goes on from where it stood), then the position
    // follows the angle. Does nothing while the light is paused.
    void AnimateLight(double now);
    // Whether the viewer has nothing to draw until an event comes: the picture is done and the
    // light stands still (or the window has no pixels). The idle callback stops asking for
    // frames then; every event asks again.
    bool Resting() const;
    // The F12 report: grid statistics of every traced model and the last frame's timings.
    void PrintStatistics(std::ostream& out) const;

    // The camera (app/win_main_camera.cpp). The view is the centre and distance of `camera`
    // with angleX and angleY.
    OrbitView View() const;
    void SetView(const OrbitView& view);
    // At assembly, once the models are in the scene: reads "scene.camera" and
    // "scene.frame_models" (throws TIRN_ERROR::Error naming the key for a value they do not
    // accept), measures the boxes and takes the first view.
    void SetUpCamera();
    // The fixed view, or the framed models from three-quarter above at the window's aspect.
    OrbitView FirstView() const;
    // The world positions of the framed models' vertices.
    std::vector<Vec3> FramedPoints() const;
    // Home: the first view again. f: the framed models framed again from the current angles.
    void GoHome();
    void FrameModels();
    // 1, 3, 7: the framed models framed from the front (the angles 0, 0), the right side (0,
    // -90) or above (90, 0), as modelling programs show them.
    void ViewFrom(float tilt, float turn);
    // u (step 1) and U (step -1): every framed model turned to its next (previous) up axis in
    // the order of loaders/up_axis.h's StepUpAxis from the axis it was loaded with, about the
    // centre of its box, its lowest point kept (app/model_turn.h); then framed again, and the
    // picture starts anew. Says so on standard output.
    void TurnFramedModels(int step = 1);
    // Everything `factor` times nearer to the surface seen at window point (x, y) (pixels from
    // the top-left corner), found with a ray query of the traced models; to the centre when
    // there is none there (or no scene yet).
    void ZoomAt(double x, double y, double factor);
    // The picture follows a drag of (dx, dy) pixels (right, down).
    void PanBy(double dx, double dy);
    // Before a frame: the scene's rotation from the angles, its eye and target (the eye at
    // (0, 0, distance) from the target in the turned frame, the target the centre turned) and
    // clipping planes from the view. Needs the GL context (the rotation comes from OpenGL).
    void PlaceCamera(RAYTR::Scene& scene) const;

    RAYTR::Scene* scene() const;
    Renderer* renderer() const;
    RAYTR::ScreenTracer* tracer() const;

private:
    // The stages of Frame: the picture at the window's size; the light, the camera and the
    // plan; the hybrid or traced picture; then the views, the swap, the costs, the rate and the
    // title. Stage times go into `timings`; `marks` holds the clock between the stages.
    struct StageMarks;
    void FitPictureToWindow();
    Accumulation::Step PlanFrame(double now);
    void HybridFrame(Accumulation::Step step, StageMarks& marks);
    void TracedFrame(Accumulation::Step step, StageMarks& marks);
    void FinishFrame(Accumulation::Step step, StageMarks& marks);
    void CountFrame();
    void SetTitle();
    // The boxes of the framed models and of the whole scene, from the objects as they stand.
    void MeasureBoxes();
};

}  // namespace WIN_NMS
