#pragma once
// The viewer's camera as an orbit view: a centre that the scene turns about, the eye's distance
// from it along the view axis, and the two angles of the mouse (tilt about the window's
// horizontal axis, then turn about the vertical axis, in degrees, as glRotatef applies them).
// The eye sees the scene through
//
//     eye coordinates = translate(0, 0, -distance) * Rx(tilt) * Ry(turn) * translate(-centre) * world
//
// with a 45-degree vertical field of view. The view of every configuration without
// "scene.camera" is centre (0, 0, 0), distance 15, both angles 0: the eye at (0, 0, 15) looking
// at the origin, exactly the camera the viewer has always had.
//
// Everything here is a pure function of plain values (no GL, no window), so framing, zooming,
// panning and the clipping planes can each be checked on their own; the application object
// keeps the state and applies it to the ray-tracing scene (app/win_main_camera.cpp).

#include <limits>
#include <vector>

namespace WIN_NMS {

// Vertical field of view of the preview's projection and of the tracer's rays, degrees.
inline constexpr double kFieldOfView = 45.0;
// Share of the window's width or height that a framed box covers.
inline constexpr double kFrameFill = 2.0 / 3.0;
// Angles of the first framed view: from above, and turned so that the model's front and one
// of its sides show.
inline constexpr float kFirstTilt = 30.0f;
inline constexpr float kFirstTurn = -35.0f;
// One step of the mouse wheel brings everything this many times nearer (or farther).
inline constexpr double kWheelZoom = 1.25;
// The clipping planes of the fixed view, kept whenever they suit the view.
inline constexpr float kNearPlane = 1.0f;
inline constexpr float kFarPlane = 1000.0f;

struct Vec3 {
    double x = 0.0, y = 0.0, z = 0.0;
};
inline Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3 operator*(Vec3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }
inline double Dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// An axis-aligned box in world coordinates; empty until a point is added.
struct Bounds {
    Vec3 lo{std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
            std::numeric_limits<double>::infinity()};
    Vec3 hi{-std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
            -std::numeric_limits<double>::infinity()};

    bool Empty() const { return !(lo.x <= hi.x && lo.y <= hi.y && lo.z <= hi.z); }
    void Add(Vec3 p);
    void Add(const Bounds& b);
    Vec3 Corner(int k) const { return {(k & 1) ? hi.x : lo.x, (k & 2) ? hi.y : lo.y, (k & 4) ? hi.z : lo.z}; }
    Vec3 Centre() const { return (lo + hi) * 0.5; }
    double Diagonal() const;  // 0 when empty
};

struct OrbitView {
    Vec3 centre;             // world point the scene turns about; it lies on the view axis
    double distance = 15.0;  // from the eye to the centre
    float tilt = 0.0f;       // degrees about the horizontal axis (the application's angleX)
    float turn = 0.0f;       // degrees about the vertical axis (angleY)
};

// The view of a configuration without "scene.camera": 15 units in front of the origin.
OrbitView FixedView();

// The view's rotation (Rx(tilt) Ry(turn)) applied to a world direction, and its inverse.
Vec3 Rotate(const OrbitView& view, Vec3 v);
Vec3 Unrotate(const OrbitView& view, Vec3 v);
Vec3 EyeOf(const OrbitView& view);
// Unit direction of the view axis, in world coordinates.
Vec3 ForwardOf(const OrbitView& view);

// Where a world point appears in a width x height window: x, y in pixels from the top-left
// corner, and its depth along the view axis (negative or zero: behind the eye).
struct WindowPoint {
    double x = 0.0, y = 0.0, depth = 0.0;
};
WindowPoint Project(const OrbitView& view, Vec3 p, int width, int height);
// The world ray from the eye through window point (x, y), pixels from the top-left corner
// (pixel (i, j) has its centre at (i + 0.5, j + 0.5)); the direction is not of unit length.
void WindowRay(const OrbitView& view, double x, double y, int width, int height, Vec3& origin, Vec3& direction);

// The view with the given angles whose eye sees all the points (a model's vertices): they
// project centred in the window and cover `fill` of its width or of its height (whichever they
// reach first), all of them inside. aspect = window width / height. Points that are not
// finite are left out; none gives the fixed view's centre and distance (with the angles
// given), a single point distance 1. Linear in the points, and a sort of the few on the
// outline of their projection.
OrbitView FramePoints(const std::vector<Vec3>& points, float tilt, float turn, double aspect,
                      double fill = kFrameFill);
// The same for the eight corners of a box.
OrbitView FrameBounds(const Bounds& box, float tilt, float turn, double aspect, double fill = kFrameFill);

// The first view of a framed scene: from above (kFirstTilt) and turned so that the longer
// horizontal side of the points' box runs across the window (kFirstTurn when that is x, the
// complementary angle when it is z), framed as FramePoints does.
OrbitView FirstFramedView(const std::vector<Vec3>& points, double aspect);

// The distances from the eye to the centre that zooming may reach, from the size of what the
// camera frames (its box diagonal): a thousandth of it to a hundred times it.
struct ZoomLimits {
    double nearest = 1e-3;
    double farthest = 1e5;
};
ZoomLimits LimitsFor(const Bounds& framed);

// The view brought `factor` times nearer to `point` (factor < 1: farther): the eye moves along
// its line to the point, so the point stays where it is in the window, and the centre comes to
// lie on the view axis at the point's depth, scaled likewise (so the scene then turns about
// what was zoomed into). A point not in front of the eye counts as the centre. The centre's
// new distance stays within the limits.
OrbitView ZoomTowards(const OrbitView& view, Vec3 point, double factor, const ZoomLimits& limits);

// The view moved sideways so that the picture follows a drag of (dx, dy) pixels (right,
// down) in a window of `height` pixels: exactly at the centre's depth, nearer points a little
// more and farther points a little less.
OrbitView Pan(const OrbitView& view, double dx, double dy, int height);

// Clipping planes that suit a view of a scene within `scene`: near 1 unless the centre is
// nearer than 8 units (then an eighth of its distance), far 1000 unless the scene reaches
// farther from the eye (then 1% beyond its farthest corner). So the fixed view keeps 1 and
// 1000, a close view keeps depth resolution where it looks, and nothing in the scene is ever
// beyond the far plane.
struct ClipPlanes {
    float nearDistance = kNearPlane;
    float farDistance = kFarPlane;
};
ClipPlanes PlanesFor(const OrbitView& view, const Bounds& scene);

}  // namespace WIN_NMS
