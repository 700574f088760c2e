// The orbit camera's pure functions against the projection they stand for: framing any box,
// zooming towards a point, panning with the cursor, the clipping planes.
#include "app/camera.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

using namespace WIN_NMS;

// The window rectangle the box's corners cover, in shares of the window (0 to 1 each way).
struct Cover {
    double left = 1e9, right = -1e9, top = 1e9, bottom = -1e9;
    bool inFront = true;
};
Cover CoverOf(const OrbitView& view, const std::vector<Vec3>& points, int width, int height) {
    Cover c;
    for (const Vec3& point : points) {
        const WindowPoint p = Project(view, point, width, height);
        c.inFront = c.inFront && p.depth > 0.0;
        c.left = std::min(c.left, p.x / width);
        c.right = std::max(c.right, p.x / width);
        c.top = std::min(c.top, p.y / height);
        c.bottom = std::max(c.bottom, p.y / height);
    }
    return c;
}

// Length on screen, in pixels, of the box's edge from corner 0 along axis bit `axis`.
double EdgeOnScreen(const OrbitView& view, const Bounds& box, int axis, int width, int height) {
    const WindowPoint a = Project(view, box.Corner(0), width, height);
    const WindowPoint b = Project(view, box.Corner(axis), width, height);
    return std::hypot(b.x - a.x, b.y - a.y);
}

std::vector<Vec3> Corners(const Bounds& box) {
    std::vector<Vec3> corners;
    for (int k = 0; k < 8; ++k) corners.push_back(box.Corner(k));
    return corners;
}

Bounds RandomBox(std::mt19937& random) {
    std::uniform_real_distribution<double> centre(-50.0, 50.0);
    std::uniform_real_distribution<double> logSide(-3.0, 2.0);
    Bounds box;
    const Vec3 c{centre(random), centre(random), centre(random)};
    const Vec3 half{std::pow(10.0, logSide(random)), std::pow(10.0, logSide(random)), std::pow(10.0, logSide(random))};
    box.Add(c - half);
    box.Add(c + half);
    return box;
}

TEST(CameraTest, FixedViewIsTheEyeFifteenUnitsInFrontOfTheOrigin) {
    const OrbitView view = FixedView();
    const Vec3 eye = EyeOf(view);
    EXPECT_EQ(eye.x, 0.0);
    EXPECT_EQ(eye.y, 0.0);
    EXPECT_EQ(eye.z, 15.0);
    // Its planes are the viewer's old 1 and 1000 for the demo's extent (sky dome of radius 80).
    Bounds demo;
    demo.Add(Vec3{-80, -80, -80});
    demo.Add(Vec3{80, 80, 80});
    const ClipPlanes planes = PlanesFor(view, demo);
    EXPECT_EQ(planes.nearDistance, 1.0f);
    EXPECT_EQ(planes.farDistance, 1000.0f);
    // The origin lies at the window's centre, 15 deep; a point 15 tan(22.5) up at its top edge.
    const WindowPoint o = Project(view, Vec3{}, 512, 512);
    EXPECT_NEAR(o.x, 256.0, 1e-9);
    EXPECT_NEAR(o.y, 256.0, 1e-9);
    EXPECT_NEAR(o.depth, 15.0, 1e-12);
    EXPECT_NEAR(Project(view, Vec3{0.0, 15.0 * std::tan(M_PI / 8.0), 0.0}, 512, 512).y, 0.0, 1e-9);
}

// Any box, and any cloud of points (a model's vertices: a random lump inside a random box), is
// framed exactly: its projection, checked point by point, is centred, inside the window and
// two thirds of its width or height.
TEST(CameraTest, AnyBoxOrPointCloudIsFramedCentredAtTwoThirdsAndWhollyInside) {
    std::mt19937 random(20);
    std::uniform_real_distribution<float> angle(-180.0f, 180.0f);
    std::normal_distribution<double> gauss;
    const int sizes[][2] = {{512, 512}, {800, 450}, {300, 700}};
    for (int n = 0; n < 300; ++n) {
        const Bounds box = RandomBox(random);
        std::vector<Vec3> points = Corners(box);
        if (n % 4 >= 2) {
            // A lump of 2,000 points filling the box as a rounded blob (not its corners).
            points.clear();
            const Vec3 c = box.Centre(), half = (box.hi - box.lo) * 0.5;
            for (int i = 0; i < 2000; ++i) {
                Vec3 g{gauss(random), gauss(random), gauss(random)};
                g = g * (1.0 / std::max({1.0, std::sqrt(Dot(g, g)) / 1.5, 1e-9}));
                points.push_back(c + Vec3{g.x * half.x, g.y * half.y, g.z * half.z} * (1.0 / 1.5));
            }
        }
        const int* size = sizes[n % 3];
        const double aspect = double(size[0]) / size[1];
        const OrbitView view = n % 2 ? FramePoints(points, angle(random), angle(random), aspect)
                                     : FirstFramedView(points, aspect);
        const Cover c = CoverOf(view, points, size[0], size[1]);
        SCOPED_TRACE(n);
        ASSERT_TRUE(c.inFront);
        // Inside, centred, and two thirds of the width or of the height.
        EXPECT_GE(c.left, 0.0);
        EXPECT_LE(c.right, 1.0);
        EXPECT_GE(c.top, 0.0);
        EXPECT_LE(c.bottom, 1.0);
        EXPECT_NEAR(c.left + c.right, 1.0, 1e-6);
        EXPECT_NEAR(c.top + c.bottom, 1.0, 1e-6);
        // Two thirds, unless the eye had to stop a thousandth of the size before the nearest
        // point (a spike seen end-on).
        double nearest = 1e300;
        for (const Vec3& p : points) nearest = std::min(nearest, Project(view, p, size[0], size[1]).depth);
        Bounds extent;
        for (const Vec3& p : points) extent.Add(p);
        const double cover = std::max(c.right - c.left, c.bottom - c.top);
        EXPECT_LE(cover, 2.0 / 3.0 + 1e-6);
        if (nearest > extent.Diagonal() * 1.001e-3) EXPECT_NEAR(cover, 2.0 / 3.0, 1e-6);
        // The centre lies on the view axis, in front of the eye.
        const WindowPoint centre = Project(view, view.centre, size[0], size[1]);
        EXPECT_NEAR(centre.x, 0.5 * size[0], 1e-6);
        EXPECT_NEAR(centre.depth, view.distance, 1e-9 * view.distance);
    }
}

TEST(CameraTest, FirstViewIsFromAboveWithTheLongerHorizontalSideAcross) {
    for (const bool xLonger : {true, false}) {
        // A rifle: 6 long, thin; lying along x, then along z.
        Bounds box;
        box.Add(Vec3{0, 0, 0});
        box.Add(xLonger ? Vec3{6.0, 0.4, 0.3} : Vec3{0.3, 0.4, 6.0});
        const OrbitView view = FirstFramedView(Corners(box), 1.0);
        SCOPED_TRACE(xLonger);
        EXPECT_GT(view.tilt, 0.0f);  // the scene tilted towards the eye: seen from above
        EXPECT_GT(EyeOf(view).y, view.centre.y);
        const double across = EdgeOnScreen(view, box, xLonger ? 1 : 4, 512, 512);
        const double other = EdgeOnScreen(view, box, xLonger ? 4 : 1, 512, 512);
        EXPECT_GT(across, 4.0 * other);
        // Across: its run on screen is mostly horizontal.
        const WindowPoint a = Project(view, box.Corner(0), 512, 512);
        const WindowPoint b = Project(view, box.Corner(xLonger ? 1 : 4), 512, 512);
        EXPECT_GT(std::abs(b.x - a.x), 2.0 * std::abs(b.y - a.y));
    }
}

TEST(CameraTest, ZoomKeepsThePointUnderTheCursorAndPanFollowsTheCursor) {
    std::mt19937 random(4);
    std::uniform_real_distribution<double> unit(0.05, 0.95);
    std::uniform_real_distribution<double> factor(0.3, 4.0);
    for (int n = 0; n < 200; ++n) {
        const Bounds box = RandomBox(random);
        OrbitView view = FrameBounds(box, float(unit(random) * 90.0), float(unit(random) * 360.0 - 180.0), 1.5);
        const int w = 600, h = 400;
        // The point on the cursor's ray at some depth, as a ray query would find it.
        const double x = unit(random) * w, y = unit(random) * h;
        Vec3 origin, direction;
        WindowRay(view, x, y, w, h, origin, direction);
        const Vec3 point = origin + direction * (view.distance * (0.5 + unit(random)));
        const WindowPoint before = Project(view, point, w, h);
        ASSERT_NEAR(before.x, x, 1e-6 * w);
        const double f = factor(random);
        const OrbitView zoomed = ZoomTowards(view, point, f, ZoomLimits{});
        const WindowPoint after = Project(zoomed, point, w, h);
        SCOPED_TRACE(n);
        EXPECT_NEAR(after.x, x, 1e-6 * w);
        EXPECT_NEAR(after.y, y, 1e-6 * h);
        EXPECT_NEAR(after.depth, before.depth / f, 1e-9 * before.depth);
        // The scene now turns about what was zoomed into: the centre at the point's depth.
        EXPECT_NEAR(zoomed.distance, before.depth / f, 1e-9 * before.depth);
        EXPECT_EQ(zoomed.tilt, view.tilt);
        // Panning moves a point at the centre's depth exactly with the cursor.
        WindowRay(zoomed, x, y, w, h, origin, direction);  // depth 1 along the direction
        const Vec3 atCentreDepth = origin + direction * zoomed.distance;
        const double dx = unit(random) * 80.0 - 40.0, dy = unit(random) * 80.0 - 40.0;
        const WindowPoint p0 = Project(zoomed, atCentreDepth, w, h);
        const WindowPoint p1 = Project(Pan(zoomed, dx, dy, h), atCentreDepth, w, h);
        EXPECT_NEAR(p1.x - p0.x, dx, 1e-6 * w);
        EXPECT_NEAR(p1.y - p0.y, dy, 1e-6 * h);
        EXPECT_NEAR(p1.depth, p0.depth, 1e-9 * p0.depth);
    }
    // Without a point in front of the eye the zoom goes to the centre, which stays; the limits
    // hold the distance.
    const OrbitView view = FixedView();
    const OrbitView in = ZoomTowards(view, Vec3{0.0, 0.0, 100.0}, 2.0, ZoomLimits{});
    EXPECT_DOUBLE_EQ(in.distance, 7.5);
    EXPECT_DOUBLE_EQ(in.centre.z, 0.0);
    const ZoomLimits limits{1.0, 30.0};
    EXPECT_DOUBLE_EQ(ZoomTowards(view, Vec3{}, 1000.0, limits).distance, 1.0);
    EXPECT_DOUBLE_EQ(ZoomTowards(view, Vec3{}, 1e-3, limits).distance, 30.0);
}

TEST(CameraTest, PlanesFollowTheView) {
    Bounds scene;
    scene.Add(Vec3{-90, -5, -90});
    scene.Add(Vec3{90, 80, 90});
    OrbitView close = FixedView();
    close.distance = 0.4;
    EXPECT_FLOAT_EQ(PlanesFor(close, scene).nearDistance, 0.05f);
    EXPECT_EQ(PlanesFor(close, scene).farDistance, 1000.0f);
    OrbitView far = FixedView();
    far.distance = 2000.0;
    const ClipPlanes planes = PlanesFor(far, scene);
    EXPECT_EQ(planes.nearDistance, 1.0f);
    // Beyond the farthest corner of the scene from the eye.
    const Vec3 eye = EyeOf(far);
    for (int k = 0; k < 8; ++k) {
        const Vec3 d = scene.Corner(k) - eye;
        EXPECT_GT(planes.farDistance, std::sqrt(Dot(d, d)));
    }
}

}  // namespace
