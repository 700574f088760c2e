#include "app/camera.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace WIN_NMS {

namespace {

constexpr double kPi = 3.14159265358979323846;

double TanHalfField() { return std::tan(kFieldOfView * 0.5 * kPi / 180.0); }

bool Finite(Vec3 v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// For an eye at distance d, the eye-space lateral offset s that centres the projections of
// the points (a_i, b_i) (a across, b along the view axis towards the eye): max (a_i - s) /
// (d - b_i) = -min of the same. Every projection falls as s grows, so their sum does too:
// bisection between the smallest and the largest a. Returns s and the half-width of the
// centred projections (in units of the distance).
std::pair<double, double> Centred(const std::vector<std::pair<double, double>>& points, double d) {
    double lo = INFINITY, hi = -INFINITY;
    for (const auto& [a, b] : points) {
        lo = std::min(lo, a);
        hi = std::max(hi, a);
    }
    const auto extremes = [&](double s, double& top, double& bottom) {
        top = -INFINITY;
        bottom = INFINITY;
        for (const auto& [a, b] : points) {
            const double u = (a - s) / (d - b);
            top = std::max(top, u);
            bottom = std::min(bottom, u);
        }
    };
    double top = 0.0, bottom = 0.0;
    for (int step = 0; step < 64 && lo < hi; ++step) {
        const double s = 0.5 * (lo + hi);
        extremes(s, top, bottom);
        if (top + bottom > 0.0) lo = s;
        else hi = s;
    }
    const double s = 0.5 * (lo + hi);
    extremes(s, top, bottom);
    return {s, std::max(top, -bottom)};
}

using Point2 = std::pair<double, double>;

// Twice the signed area of the triangle o p q: positive when q lies left of the line o -> p.
double Turn(const Point2& o, const Point2& p, const Point2& q) {
    return (p.first - o.first) * (q.second - o.second) - (p.second - o.second) * (q.first - o.first);
}

// Removes the points strictly inside the polygon of the extreme points along `n` directions
// evenly spread around the circle: none of them is a corner of the hull.
void CutInsidePolygon(std::vector<Point2>& points, int n) {
    if (points.size() <= std::size_t(4 * n)) return;
    std::vector<Point2> extreme(n, points[0]), direction(n);
    std::vector<double> best(n, -INFINITY);
    for (int k = 0; k < n; ++k) direction[k] = {std::cos(2.0 * kPi * k / n), std::sin(2.0 * kPi * k / n)};
    for (const Point2& p : points)
        for (int k = 0; k < n; ++k) {
            const double v = direction[k].first * p.first + direction[k].second * p.second;
            if (v > best[k]) best[k] = v, extreme[k] = p;
        }
    // The extremes follow one another counter-clockwise (coinciding ones give a zero turn, so
    // nothing counts as inside them). Most points lie well inside: a circle about the
    // extremes' mean that stays within every edge settles them with one test.
    Point2 centre{0.0, 0.0};
    for (const Point2& e : extreme) centre = {centre.first + e.first / n, centre.second + e.second / n};
    double radius2 = INFINITY;
    for (int k = 0; k < n; ++k) {
        const Point2 &a = extreme[k], &b = extreme[(k + 1) % n];
        const double length2 = (b.first - a.first) * (b.first - a.first) + (b.second - a.second) * (b.second - a.second);
        const double turn = Turn(a, b, centre);  // twice the area: the distance times the edge's length
        radius2 = std::min(radius2, turn > 0.0 && length2 > 0.0 ? 0.99 * turn * turn / length2 : 0.0);
    }
    const auto inside = [&](const Point2& p) {
        const double dx = p.first - centre.first, dy = p.second - centre.second;
        if (dx * dx + dy * dy < radius2) return true;
        for (int k = 0; k < n; ++k)
            if (!(Turn(extreme[k], extreme[(k + 1) % n], p) > 0.0)) return false;
        return true;
    };
    points.erase(std::remove_if(points.begin(), points.end(), inside), points.end());
}

// The corners of the convex hull of points (a, b), counter-clockwise: Andrew's monotone chain
// ("Another efficient algorithm for convex hulls in two dimensions", 1979), after the points
// inside a polygon of extreme points are cut away (Akl and Toussaint's heuristic, 1978), which
// on a model's projection is nearly all of them. A linear-fractional projection
// (a - s) / (d - b) with d > b takes its extreme values over the points at hull corners, since
// its level sets are lines.
std::vector<Point2> Hull(std::vector<Point2> points) {
    // Two cuts, the second finer on what the first leaves.
    CutInsidePolygon(points, 8);
    CutInsidePolygon(points, 32);
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    if (points.size() < 3) return points;
    std::vector<Point2> hull(2 * points.size());
    std::size_t k = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        while (k >= 2 && Turn(hull[k - 2], hull[k - 1], points[i]) <= 0.0) --k;
        hull[k++] = points[i];
    }
    for (std::size_t i = points.size() - 1, lower = k + 1; i-- > 0;) {
        while (k >= lower && Turn(hull[k - 2], hull[k - 1], points[i]) <= 0.0) --k;
        hull[k++] = points[i];
    }
    hull.resize(k - 1);
    return hull;
}

}  // namespace

void Bounds::Add(Vec3 p) {
    lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
    hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
}

void Bounds::Add(const Bounds& b) {
    if (b.Empty()) return;
    Add(b.lo);
    Add(b.hi);
}

double Bounds::Diagonal() const {
    if (Empty()) return 0.0;
    const Vec3 d = hi - lo;
    return std::sqrt(Dot(d, d));
}

OrbitView FixedView() { return OrbitView{}; }

namespace {

// The rows of Rx(tilt) Ry(turn): the window's right, up and backward directions in world
// coordinates.
struct Axes {
    Vec3 right, up, back;
};
Axes AxesOf(const OrbitView& view) {
    return {Unrotate(view, Vec3{1.0, 0.0, 0.0}), Unrotate(view, Vec3{0.0, 1.0, 0.0}), Unrotate(view, Vec3{0.0, 0.0, 1.0})};
}

}  // namespace

Vec3 Rotate(const OrbitView& view, Vec3 v) {
    // Ry(turn) first, then Rx(tilt): glRotatef(tilt, 1, 0, 0) then glRotatef(turn, 0, 1, 0)
    // on the identity, applied to column vectors.
    const double b = view.turn * kPi / 180.0, a = view.tilt * kPi / 180.0;
    const double cb = std::cos(b), sb = std::sin(b), ca = std::cos(a), sa = std::sin(a);
    const Vec3 r{cb * v.x + sb * v.z, v.y, -sb * v.x + cb * v.z};
    return {r.x, ca * r.y - sa * r.z, sa * r.y + ca * r.z};
}

Vec3 Unrotate(const OrbitView& view, Vec3 v) {
    const double b = view.turn * kPi / 180.0, a = view.tilt * kPi / 180.0;
    const double cb = std::cos(b), sb = std::sin(b), ca = std::cos(a), sa = std::sin(a);
    const Vec3 r{v.x, ca * v.y + sa * v.z, -sa * v.y + ca * v.z};
    return {cb * r.x - sb * r.z, r.y, sb * r.x + cb * r.z};
}

Vec3 EyeOf(const OrbitView& view) { return view.centre + Unrotate(view, Vec3{0.0, 0.0, view.distance}); }

Vec3 ForwardOf(const OrbitView& view) { return Unrotate(view, Vec3{0.0, 0.0, -1.0}); }

WindowPoint Project(const OrbitView& view, Vec3 p, int width, int height) {
    const Vec3 q = Rotate(view, p - view.centre);
    const double depth = view.distance - q.z;
    const double t = TanHalfField();
    const double aspect = double(width) / double(height > 0 ? height : 1);
    WindowPoint w;
    w.depth = depth;
    w.x = (1.0 + q.x / (depth * t * aspect)) * 0.5 * width;
    w.y = (1.0 - q.y / (depth * t)) * 0.5 * height;
    return w;
}

void WindowRay(const OrbitView& view, double x, double y, int width, int height, Vec3& origin, Vec3& direction) {
    const double t = TanHalfField();
    const double h = height > 0 ? height : 1;
    const double aspect = double(width) / h;
    const Vec3 d{(2.0 * x / (width > 0 ? width : 1) - 1.0) * t * aspect, (1.0 - 2.0 * y / h) * t, -1.0};
    origin = EyeOf(view);
    direction = Unrotate(view, d);
}

OrbitView FramePoints(const std::vector<Vec3>& points, float tilt, float turn, double aspect, double fill) {
    OrbitView view = FixedView();
    view.tilt = tilt;
    view.turn = turn;
    Bounds box;
    for (const Vec3& p : points)
        if (Finite(p)) box.Add(p);
    if (box.Empty() || !(aspect > 0.0) || !(fill > 0.0)) return view;
    const Vec3 c0 = box.Centre();
    view.centre = c0;
    const double size = box.Diagonal();
    if (!(size > 0.0) || !std::isfinite(size)) {
        view.distance = 1.0;
        return view;
    }
    // The points about the box's centre, turned into the eye's axes: only the corners of their
    // hulls across (x, z) and up (y, z) can be the outermost in the window.
    std::vector<Point2> across, up;
    across.reserve(points.size());
    up.reserve(points.size());
    double zMax = -INFINITY;
    const Axes axes = AxesOf(view);
    for (const Vec3& p : points) {
        if (!Finite(p)) continue;
        const Vec3 d = p - c0;
        const Vec3 q{Dot(d, axes.right), Dot(d, axes.up), Dot(d, axes.back)};
        across.emplace_back(q.x, q.z);
        up.emplace_back(q.y, q.z);
        zMax = std::max(zMax, q.z);
    }
    across = Hull(std::move(across));
    up = Hull(std::move(up));
    const double tanV = TanHalfField(), tanH = tanV * aspect;
    // For a distance d: the share of the window's width or height that the centred
    // projections reach (1 = its edges), falling as d grows; and the centring shifts.
    double shiftX = 0.0, shiftY = 0.0;
    const auto share = [&](double d) {
        const auto [sx, halfX] = Centred(across, d);
        const auto [sy, halfY] = Centred(up, d);
        shiftX = sx;
        shiftY = sy;
        return std::max(halfX / tanH, halfY / tanV);
    };
    // Coming in from afar, the first distance at which they reach `fill`: a bracket by halving
    // the gap to the nearest point, then bisection. The eye stays a thousandth of the size in
    // front of the nearest point: seen from there a point cloud's projection grows no more
    // (one seen end-on along a spike may never reach `fill`; it then covers less).
    const double gap = size * 1e-3;
    double hi = zMax + size;
    while (share(hi) > fill && hi < zMax + size * 1e9) hi = zMax + (hi - zMax) * 2.0;
    double lo = hi;
    do {
        hi = lo;
        lo = std::max(zMax + (hi - zMax) * 0.5, zMax + gap);
    } while (share(lo) <= fill && lo < hi);
    if (share(lo) <= fill) hi = lo;  // fill not reached: as near as the eye may come
    for (int step = 0; step < 64 && lo < hi; ++step) {
        const double d = 0.5 * (lo + hi);
        if (share(d) > fill) lo = d;
        else hi = d;
    }
    share(hi);  // the shifts of the distance kept (inside, never beyond `fill`)
    view.distance = hi;
    view.centre = c0 + Unrotate(view, Vec3{shiftX, shiftY, 0.0});
    return view;
}

OrbitView FrameBounds(const Bounds& box, float tilt, float turn, double aspect, double fill) {
    std::vector<Vec3> corners;
    if (!box.Empty())
        for (int k = 0; k < 8; ++k) corners.push_back(box.Corner(k));
    return FramePoints(corners, tilt, turn, aspect, fill);
}

OrbitView FirstFramedView(const std::vector<Vec3>& points, double aspect) {
    // The longer of the horizontal sides of the points' box across the window: x turned by
    // kFirstTurn, or z by the complementary angle, so that it lies as much across the window
    // as x would (turned by b, x runs |cos b| across the window and z |sin b|).
    Bounds box;
    for (const Vec3& p : points)
        if (Finite(p)) box.Add(p);
    const bool xLonger = box.Empty() || (box.hi.x - box.lo.x) >= (box.hi.z - box.lo.z);
    return FramePoints(points, kFirstTilt, xLonger ? kFirstTurn : -90.0f - kFirstTurn, aspect);
}

ZoomLimits LimitsFor(const Bounds& framed) {
    const double size = framed.Diagonal();
    ZoomLimits limits;
    if (size > 0.0 && std::isfinite(size)) {
        limits.nearest = size * 1e-3;
        limits.farthest = size * 100.0;
    }
    return limits;
}

OrbitView ZoomTowards(const OrbitView& view, Vec3 point, double factor, const ZoomLimits& limits) {
    if (!(factor > 0.0) || !std::isfinite(factor)) return view;
    const Vec3 eye = EyeOf(view), forward = ForwardOf(view);
    double depth = Dot(point - eye, forward);
    if (!Finite(point) || !(depth > 0.0)) {
        point = view.centre;
        depth = view.distance;
    }
    // The new distance from the eye to the centre, kept within the limits; the eye goes the
    // same share of the way to the point.
    const double distance = std::clamp(depth / factor, std::min(limits.nearest, view.distance),
                                       std::max(limits.farthest, view.distance));
    const double scale = distance / depth;
    OrbitView zoomed = view;
    const Vec3 newEye = point + (eye - point) * scale;
    zoomed.distance = distance;
    zoomed.centre = newEye + forward * distance;
    return zoomed;
}

OrbitView Pan(const OrbitView& view, double dx, double dy, int height) {
    // World units per pixel at the centre's depth.
    const double unit = 2.0 * view.distance * TanHalfField() / double(height > 0 ? height : 1);
    OrbitView moved = view;
    moved.centre = view.centre + Unrotate(view, Vec3{-dx * unit, dy * unit, 0.0});
    return moved;
}

ClipPlanes PlanesFor(const OrbitView& view, const Bounds& scene) {
    ClipPlanes planes;
    planes.nearDistance = static_cast<float>(std::min<double>(kNearPlane, view.distance / 8.0));
    if (!scene.Empty()) {
        const Vec3 eye = EyeOf(view);
        const Vec3 far{std::max(std::abs(eye.x - scene.lo.x), std::abs(eye.x - scene.hi.x)),
                       std::max(std::abs(eye.y - scene.lo.y), std::abs(eye.y - scene.hi.y)),
                       std::max(std::abs(eye.z - scene.lo.z), std::abs(eye.z - scene.hi.z))};
        const double reach = std::sqrt(Dot(far, far)) * 1.01;
        if (std::isfinite(reach)) planes.farDistance = static_cast<float>(std::max<double>(kFarPlane, reach));
    }
    return planes;
}

}  // namespace WIN_NMS
