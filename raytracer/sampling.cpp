#include "raytracer/sampling.h"

#include <cmath>

namespace RAYTR {

namespace {

// g^-1 .. g^-4 for g = 1.16730397826141868 (x^5 = x + 1).
constexpr double kAlpha[4] = {0.8566748838545029, 0.733891856627126, 0.6287067210378086, 0.53859725722361};
// g^-1 .. g^-5 for g = 1.1347241384015194 (x^6 = x + 1).
constexpr double kBeta[5] = {0.8812714616335696, 0.7766393890897683, 0.6844301295853427, 0.6031687406857283,
                             0.5315553977157914};

// A 32-bit integer hash with good avalanche (Wellons' lowbias32).
inline std::uint32_t Hash(std::uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

// The top 24 bits as a float in [0, 1).
inline double Unit(std::uint32_t h) { return static_cast<double>(h >> 8) * (1.0 / 16777216.0); }

inline float Fraction(double x) {
    const auto f = static_cast<float>(x - std::floor(x));
    return f < 1.0f ? f : 0.0f;  // rounding to float may reach 1
}

}  // namespace

PixelSample SampleOf(std::uint32_t p, std::uint32_t n) {
    if (n == 0) return PixelSample{};
    // The pixel's own shift of the sequence, one hash per dimension.
    const std::uint32_t h0 = Hash(p * 4u + 0x9e3779b9u);
    const double shift[4] = {Unit(h0), Unit(Hash(h0 ^ 0x68e31da4u)), Unit(Hash(h0 ^ 0xb5297a4du)),
                             Unit(Hash(h0 ^ 0x1b56c4e9u))};
    const double k = static_cast<double>(n);
    PixelSample s;
    s.x = Fraction(0.5 + shift[0] + k * kAlpha[0]);
    s.y = Fraction(0.5 + shift[1] + k * kAlpha[1]);
    s.u = Fraction(0.5 + shift[2] + k * kAlpha[2]);
    s.v = Fraction(0.5 + shift[3] + k * kAlpha[3]);
    // The second sequence, with shifts of its own.
    float* more[5] = {&s.skyU, &s.skyV, &s.glossU, &s.glossV, &s.through};
    std::uint32_t h = Hash(h0 ^ 0x3c6ef372u);
    for (int i = 0; i < 5; ++i) {
        *more[i] = Fraction(0.5 + Unit(h) + k * kBeta[i]);
        h = Hash(h ^ (0xa54ff53au + std::uint32_t(i)));
    }
    return s;
}

VECTOR LightPoint(const VECTOR& centre, float radius, const VECTOR& from, float u, float v) {
    VECTOR c = centre;
    c.w = 1.0f;
    if (!(radius > 0.0f)) return c;
    // w: from the light toward the point; the disk lies across it.
    const VECTOR d(from.x - c.x, from.y - c.y, from.z - c.z, 0.0f);
    const float distance = ORVA_MATH::Length(d);
    if (!(distance > radius)) return c;
    const VECTOR w = d / distance;
    // Any unit vector across w, then the third one.
    const VECTOR a = std::fabs(w.x) > 0.5f ? VECTOR(0.0f, 1.0f, 0.0f, 0.0f) : VECTOR(1.0f, 0.0f, 0.0f, 0.0f);
    const VECTOR t = ORVA_MATH::Normalised(ORVA_MATH::Cross(a, w));
    const VECTOR b = ORVA_MATH::Cross(w, t);
    // Concentric map of the square [0, 1)^2 onto the unit disk.
    const float sx = 2.0f * u - 1.0f, sy = 2.0f * v - 1.0f;
    float r = 0.0f, phi = 0.0f;
    constexpr float kQuarterPi = 0.78539816339744831f;
    if (sx == 0.0f && sy == 0.0f) {
        r = 0.0f;
    } else if (std::fabs(sx) > std::fabs(sy)) {
        r = sx;
        phi = kQuarterPi * (sy / sx);
    } else {
        r = sy;
        phi = 2.0f * kQuarterPi - kQuarterPi * (sx / sy);
    }
    const float dx = r * std::cos(phi), dy = r * std::sin(phi);
    // Up from the disk onto the sphere's side that faces the point.
    const float dz = std::sqrt(std::fmax(0.0f, 1.0f - dx * dx - dy * dy));
    VECTOR q = c + (t * dx + b * dy + w * dz) * radius;
    q.w = 1.0f;
    return q;
}

}  // namespace RAYTR
