#pragma once
// One-sided ray-triangle test after T. Moeller and B. Trumbore, "Fast, Minimum Storage
// Ray/Triangle Intersection", Journal of Graphics Tools 2(1), 1997.
//
// Only rays arriving from the side toward which (B - A) x (C - A) points can hit (det >= 1e-6);
// the weights get a tolerance of 0.001, so a ray through an edge shared by two triangles hits
// whichever is tested first. There is no distance test along the ray.

namespace RAYTR {

// How far a test got: rejected by det (nothing written), by u (u written), by v or u + v
// (u and v written), or a hit (u and v written; b0 follows from them).
enum RayTriangleStage : int { kRejectedByDet = 0, kRejectedByU = 1, kRejectedByV = 2, kHit = 3 };

// The test itself, returning its stage and the weights it computed.
inline int RayTriangleStageOf(const float o[3], const float d[3], const float a[3], const float e1[3],
                              const float e2[3], float& u, float& v) {
    // p = d x e2; det = e1 . p, the dot products summed as (x + y) + z.
    const float px = d[1] * e2[2] - d[2] * e2[1];
    const float py = d[2] * e2[0] - d[0] * e2[2];
    const float pz = d[0] * e2[1] - d[1] * e2[0];
    const float det = (e1[0] * px + e1[1] * py) + e1[2] * pz;
    // Back faces and nearly parallel rays fail; det equal to 1e-6 passes.
    if (det < 1e-6f) return kRejectedByDet;
    const float inv = 1.0f / det;
    // s = o - A; u = (s . p) / det; the lower bound is the double -0.001.
    const float sx = o[0] - a[0], sy = o[1] - a[1], sz = o[2] - a[2];
    u = ((sx * px + sy * py) + sz * pz) * inv;
    if (u < -0.001 || u > 1.001f) return kRejectedByU;
    // q = s x e1; v = (d . q) / det.
    const float qx = sy * e1[2] - sz * e1[1];
    const float qy = sz * e1[0] - sx * e1[2];
    const float qz = sx * e1[1] - sy * e1[0];
    v = ((d[0] * qx + d[1] * qy) + d[2] * qz) * inv;
    if (v < -0.001) return kRejectedByV;
    // The sum at double precision against the single-precision 1.001 widened.
    if (static_cast<double>(u) + static_cast<double>(v) > static_cast<double>(1.001f)) return kRejectedByV;
    return kHit;
}

// o, d: ray origin and direction; a: corner A; e1 = B - A; e2 = C - A (x, y, z each).
// Writes u to b1 once det passed and v to b2 once u passed, as the grid's hit record expects;
// b0 is (1 - v) - u and is written only on success.
// u < -0.001 taken in double equals u < kAboveMinusThousandth in float (no float lies between
// the two), which lets four-lane float code apply the lower bound exactly.
inline constexpr float kAboveMinusThousandth = -0.000999999931082129478f;

inline bool RayTriangleOneSided(const float o[3], const float d[3], const float a[3], const float e1[3],
                                const float e2[3], float& b0, float& b1, float& b2) {
    float u = 0.0f, v = 0.0f;
    const int stage = RayTriangleStageOf(o, d, a, e1, e2, u, v);
    if (stage >= kRejectedByU) b1 = u;
    if (stage >= kRejectedByV) b2 = v;
    if (stage != kHit) return false;
    b0 = (1.0f - v) - u;
    return true;
}

}  // namespace RAYTR
