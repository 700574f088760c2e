#pragma once
// Triangle-box overlap by separating axes, after T. Akenine-Moeller, "Fast 3D Triangle-Box
// Overlap Testing", Journal of Graphics Tools 6(1), 2001: the nine edge-cross-axis axes, the
// three coordinate axes, then the triangle's plane. Every comparison is strict, so a triangle
// that only touches the box (face, edge or corner) overlaps it.

#include <algorithm>
#include <cmath>

namespace RAYTR {

namespace tri_box_detail {

inline bool PlaneBoxOverlap(const float normal[3], const float vert[3], const float half[3]) {
    float vmin[3], vmax[3];
    for (int q = 0; q < 3; ++q) {
        const float v = vert[q];
        if (normal[q] > 0.0f) {
            vmin[q] = -half[q] - v;
            vmax[q] = half[q] - v;
        } else {
            vmin[q] = half[q] - v;
            vmax[q] = -half[q] - v;
        }
    }
    const float dmin = normal[0] * vmin[0] + normal[1] * vmin[1] + normal[2] * vmin[2];
    if (dmin > 0.0f) return false;
    const float dmax = normal[0] * vmax[0] + normal[1] * vmax[1] + normal[2] * vmax[2];
    return dmax >= 0.0f;
}

}  // namespace tri_box_detail

// True when the triangle (v0, v1, v2) and the axis-aligned box (centre, half sizes) overlap.
inline bool TriangleBoxOverlap(const float centre[3], const float half[3], const float t0[3], const float t1[3],
                               const float t2[3]) {
    // Translate the triangle so that the box is centred at the origin.
    float v0[3], v1[3], v2[3], e0[3], e1[3], e2[3];
    for (int q = 0; q < 3; ++q) {
        v0[q] = t0[q] - centre[q];
        v1[q] = t1[q] - centre[q];
        v2[q] = t2[q] - centre[q];
    }
    for (int q = 0; q < 3; ++q) {
        e0[q] = v1[q] - v0[q];
        e1[q] = v2[q] - v1[q];
        e2[q] = v0[q] - v2[q];
    }
    // Separated on one axis when the projected triangle lies wholly beyond the box's radius.
    auto separated = [](float p, float q, float rad) {
        const float lo = std::min(p, q), hi = std::max(p, q);
        return lo > rad || hi < -rad;
    };
    // Edge x X-axis: projections p = a * v[Y] - b * v[Z].
    auto axisX = [&](float a, float b, float fa, float fb, const float* va, const float* vb) {
        return separated(a * va[1] - b * va[2], a * vb[1] - b * vb[2], fa * half[1] + fb * half[2]);
    };
    // Edge x Y-axis: p = -a * v[X] + b * v[Z].
    auto axisY = [&](float a, float b, float fa, float fb, const float* va, const float* vb) {
        return separated(-a * va[0] + b * va[2], -a * vb[0] + b * vb[2], fa * half[0] + fb * half[2]);
    };
    // Edge x Z-axis: p = a * v[X] - b * v[Y].
    auto axisZ = [&](float a, float b, float fa, float fb, const float* va, const float* vb) {
        return separated(a * va[0] - b * va[1], a * vb[0] - b * vb[1], fa * half[0] + fb * half[1]);
    };
    // The nine cross-product axes (for each edge, the two corners that project differently).
    float fex = std::fabs(e0[0]), fey = std::fabs(e0[1]), fez = std::fabs(e0[2]);
    if (axisX(e0[2], e0[1], fez, fey, v0, v2)) return false;
    if (axisY(e0[2], e0[0], fez, fex, v0, v2)) return false;
    if (axisZ(e0[1], e0[0], fey, fex, v1, v2)) return false;
    fex = std::fabs(e1[0]); fey = std::fabs(e1[1]); fez = std::fabs(e1[2]);
    if (axisX(e1[2], e1[1], fez, fey, v0, v2)) return false;
    if (axisY(e1[2], e1[0], fez, fex, v0, v2)) return false;
    if (axisZ(e1[1], e1[0], fey, fex, v0, v1)) return false;
    fex = std::fabs(e2[0]); fey = std::fabs(e2[1]); fez = std::fabs(e2[2]);
    if (axisX(e2[2], e2[1], fez, fey, v0, v1)) return false;
    if (axisY(e2[2], e2[0], fez, fex, v0, v1)) return false;
    if (axisZ(e2[1], e2[0], fey, fex, v1, v2)) return false;
    // The three coordinate axes against the triangle's extent.
    for (int q = 0; q < 3; ++q) {
        const float lo = std::min({v0[q], v1[q], v2[q]}), hi = std::max({v0[q], v1[q], v2[q]});
        if (lo > half[q] || hi < -half[q]) return false;
    }
    // The triangle's plane against the box.
    const float normal[3] = {e0[1] * e1[2] - e0[2] * e1[1], e0[2] * e1[0] - e0[0] * e1[2],
                             e0[0] * e1[1] - e0[1] * e1[0]};
    return tri_box_detail::PlaneBoxOverlap(normal, v0, half);
}

}  // namespace RAYTR
