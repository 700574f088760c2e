// The orbit camera's pure functions against the projection they stand for: framing any box or
// point cloud, the first view, zooming towards a point, panning with the cursor, the planes.
#include "app/camera.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

using namespace WIN_NMS;

// The window rectangle the points cover, in shares of the window (0 to 1 each way), and the
// depth of the nearest one.
struct Cover {
    double left = 1e9, right = -1e9, top = 1e9, bottom = -1e9, nearest = 1e300;
};
Cover CoverOf(const OrbitView& view, const std::vector<Vec3>& points, int width, int height) {
    Cover c;
    for (const Vec3& point : points) {
        const WindowPoint p = Project(view, point, width, height);
        c.nearest = std::min(c.nearest, p.depth);
        c.left = std::min(c.left, p.x / width);
        c.right = std::max(c.right, p.x / width);
        c.top = std::min(c.top, p.y / height);
        c.bottom = std::max(c.bottom, p.y / height);
    }
    return c;
}

std::vector<Vec3> Corners(const Bounds& box) {
    std::vector<Vec3> corners;
    for (int k = 0; k < 8; ++k) corners.push_back(box.Corner(k));
    return corners;
}

// Sides from 0.001 to 100, anywhere within 50 of the origin.
Bounds RandomBox(std::mt19937& random) {
    std::uniform_real_distribution<double> centre(-50.0, 50.0), logSide(-3.0, 2.0);
    const Vec3 c{centre(random), centre(random), centre(random)};
    const Vec3 half{std::pow(10.0, logSide(random)), std::pow(10.0, logSide(random)), std::pow(10.0, logSide(random))};
    Bounds box;
    box.Add(c - half);
    box.Add(c + half);
    return box;
}

// Any box, and any cloud of points (a rounded lump inside a random box, not its corners), is
// framed exactly: its projection, checked point by point, is centred, inside the window and two
// thirds of its width or height (less only when the eye had to stop a thousandth of the size
// before the nearest point: a spike seen end-on).
TEST(CameraTest, AnyBoxOrPointCloudIsFramedCentredAtTwoThirdsAndWhollyInside) {
    std::mt19937 random(20);
    std::uniform_real_distribution<float> angle(-180.0f, 180.0f);
    std::normal_distribution<double> gauss;
    const int sizes[][2] = {{512, 512}, {800, 450}, {300, 700}};
    for (int n = 0; n < 300; ++n) {
        const Bounds box = RandomBox(random);
        std::vector<Vec3> points = Corners(box);
        if (n % 4 >= 2) {
            points.clear();
            const Vec3 c = box.Centre(), half = (box.hi - box.lo) * (0.5 / 1.5);
            for (int i = 0; i < 2000; ++i) {
                Vec3 g{gauss(random), gauss(random), gauss(random)};
                g = g * (1.0 / std::max(1.0, std::sqrt(Dot(g, g)) / 1.5));
                points.push_back(c + Vec3{g.x * half.x, g.y * half.y, g.z * half.z});
            }
        }
        const int* size = sizes[n % 3];
        const double aspect = double(size[0]) / size[1];
        const float tilt = angle(random), turn = angle(random);
        const OrbitView view = n % 2 ? FramePoints(points, tilt, turn, aspect) : FirstFramedView(points, aspect);
        const Cover c = CoverOf(view, points, size[0], size[1]);
        SCOPED_TRACE(n);
        ASSERT_GT(c.nearest, 0.0);
        EXPECT_GE(c.left, 0.0);
        EXPECT_LE(c.right, 1.0);
        EXPECT_GE(c.top, 0.0);
        EXPECT_LE(c.bottom, 1.0);
        EXPECT_NEAR(c.left + c.right, 1.0, 1e-6);
        EXPECT_NEAR(c.top + c.bottom, 1.0, 1e-6);
        Bounds extent;
        for (const Vec3& p : points) extent.Add(p);
        const double cover = std::max(c.right - c.left, c.bottom - c.top);
        EXPECT_LE(cover, 2.0 / 3.0 + 1e-6);
        if (c.nearest > extent.Diagonal() * 1.001e-3) {
            EXPECT_NEAR(cover, 2.0 / 3.0, 1e-6);
        }
        // The centre lies on the view axis.
        EXPECT_NEAR(Project(view, view.centre, size[0], size[1]).x, 0.5 * size[0], 1e-6);
    }
}

// A rifle, 6 long and thin, lying along x or along z: seen from above, lying across the window.
TEST(CameraTest, FirstViewIsFromAboveWithTheLongerHorizontalSideAcross) {
    for (const bool alongX : {true, false}) {
        Bounds box;
        box.Add(Vec3{0, 0, 0});
        box.Add(alongX ? Vec3{6.0, 0.4, 0.3} : Vec3{0.3, 0.4, 6.0});
        const OrbitView view = FirstFramedView(Corners(box), 1.0);
        SCOPED_TRACE(alongX);
        EXPECT_GT(EyeOf(view).y, view.centre.y + 0.4 * view.distance);
        const WindowPoint a = Project(view, box.Corner(0), 512, 512);
        const WindowPoint b = Project(view, box.Corner(alongX ? 1 : 4), 512, 512);
        const WindowPoint other = Project(view, box.Corner(alongX ? 4 : 1), 512, 512);
        EXPECT_GT(std::abs(b.x - a.x), 2.0 * std::abs(b.y - a.y));  // across, not into the window
        EXPECT_GT(std::hypot(b.x - a.x, b.y - a.y), 4.0 * std::hypot(other.x - a.x, other.y - a.y));
    }
}

TEST(CameraTest, ZoomKeepsThePointUnderTheCursorAndPanFollowsTheCursor) {
    std::mt19937 random(4);
    std::uniform_real_distribution<double> unit(0.05, 0.95), factor(0.3, 4.0);
    const int w = 600, h = 400;
    for (int n = 0; n < 200; ++n) {
        const OrbitView view = FrameBounds(RandomBox(random), float(unit(random) * 90.0), float(unit(random) * 360.0 - 180.0), 1.5);
        // The point on the cursor's ray at some depth, as a ray query would find it.
        const double x = unit(random) * w, y = unit(random) * h;
        Vec3 origin, direction;
        WindowRay(view, x, y, w, h, origin, direction);  // depth 1 along the direction
        const Vec3 point = origin + direction * (view.distance * (0.5 + unit(random)));
        const WindowPoint before = Project(view, point, w, h);
        const double f = factor(random);
        const OrbitView zoomed = ZoomTowards(view, point, f, ZoomLimits{});
        const WindowPoint after = Project(zoomed, point, w, h);
        SCOPED_TRACE(n);
        EXPECT_NEAR(before.x, x, 1e-6 * w);
        EXPECT_NEAR(after.x, x, 1e-6 * w);
        EXPECT_NEAR(after.y, y, 1e-6 * h);
        EXPECT_NEAR(after.depth, before.depth / f, 1e-9 * before.depth);
        EXPECT_NEAR(zoomed.distance, after.depth, 1e-9 * before.depth);  // turns about the point's depth
        // Panning moves a point at the centre's depth exactly with the cursor.
        WindowRay(zoomed, x, y, w, h, origin, direction);
        const Vec3 atCentreDepth = origin + direction * zoomed.distance;
        const double dx = unit(random) * 80.0 - 40.0, dy = unit(random) * 80.0 - 40.0;
        const WindowPoint p = Project(Pan(zoomed, dx, dy, h), atCentreDepth, w, h);
        EXPECT_NEAR(p.x - x, dx, 1e-6 * w);
        EXPECT_NEAR(p.y - y, dy, 1e-6 * h);
    }
    // No point in front of the eye: towards the centre, which stays; the limits hold.
    const OrbitView in = ZoomTowards(FixedView(), Vec3{0.0, 0.0, 100.0}, 2.0, ZoomLimits{});
    EXPECT_DOUBLE_EQ(in.distance, 7.5);
    EXPECT_DOUBLE_EQ(in.centre.z, 0.0);
    EXPECT_DOUBLE_EQ(ZoomTowards(FixedView(), Vec3{}, 1000.0, {1.0, 30.0}).distance, 1.0);
    EXPECT_DOUBLE_EQ(ZoomTowards(FixedView(), Vec3{}, 1e-3, {1.0, 30.0}).distance, 30.0);
}

// The fixed view keeps the viewer's 1 and 1000 over the demo (its sky dome of radius 80); a
// close view brings near in, a far one takes far beyond the scene's farthest corner.
TEST(CameraTest, PlanesFollowTheView) {
    Bounds demo;
    demo.Add(Vec3{-80, -80, -80});
    demo.Add(Vec3{80, 80, 80});
    EXPECT_EQ(EyeOf(FixedView()).z, 15.0);
    EXPECT_EQ(PlanesFor(FixedView(), demo).nearDistance, 1.0f);
    EXPECT_EQ(PlanesFor(FixedView(), demo).farDistance, 1000.0f);
    OrbitView view = FixedView();
    view.distance = 0.4;
    EXPECT_FLOAT_EQ(PlanesFor(view, demo).nearDistance, 0.05f);
    view.distance = 2000.0;
    const ClipPlanes far = PlanesFor(view, demo);
    EXPECT_EQ(far.nearDistance, 1.0f);
    for (int k = 0; k < 8; ++k) {
        const Vec3 d = demo.Corner(k) - EyeOf(view);
        EXPECT_GT(far.farDistance, std::sqrt(Dot(d, d)));
    }
}

}  // namespace
