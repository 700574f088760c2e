#include "raytracer/surface_bsdf.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "raytracer/shading.h"

namespace RAYTR {

namespace {

inline VECTOR Direction(float x, float y, float z) { return VECTOR(x, y, z, 0.0f); }
inline float Dot3(const VECTOR& a, const VECTOR& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline float Unit(float x) { return std::isfinite(x) ? std::clamp(x, 0.0f, 1.0f) : 0.0f; }
inline float NonNegative(float x) { return x > 0.0f && std::isfinite(x) ? x : 0.0f; }
// A file's red, green, blue as the tracer's lanes (red, blue, green).
inline VECTOR Lanes(const float rgb[3]) { return VECTOR(rgb[0], rgb[2], rgb[1], 0.0f); }

// The coat's albedo terms on a grid of view cosines (rows) and roughnesses (columns), each the
// mean weight of kSamples stratified samples of the lobe's visible normals, with f0 = 1, f90 = 0
// (a) and f0 = 0, f90 = 1 (b).
constexpr int kCosines = 32, kRoughnesses = 32, kStrata = 16;
struct AlbedoTable {
    std::array<float, kCosines * kRoughnesses> a{}, b{};
    std::array<float, kRoughnesses> meanA{}, meanB{};
};

inline float CosineAt(int i) { return std::max(0.02f, float(i) / float(kCosines - 1)); }
inline float RoughnessAt(int j) { return float(j) / float(kRoughnesses - 1); }

AlbedoTable MakeAlbedoTable() {
    AlbedoTable t;
    const VECTOR one(1.0f, 1.0f, 1.0f, 0.0f);
    for (int j = 0; j < kRoughnesses; ++j) {
        // f0 = 1 reaches f90 = 1 (Schlick), so a = E(f0 = 1) - b with b from f0 = 0, f90 = 1:
        // Schlick(0) has f90 = 0, so b is summed from (1 - c)^5 directly.
        const Microfacet full(RoughnessAt(j), one);
        for (int i = 0; i < kCosines; ++i) {
            const float c = CosineAt(i);
            const VECTOR wo = Direction(std::sqrt(1.0f - c * c), 0.0f, c);
            double sumFull = 0.0, sumEdge = 0.0;
            for (int s = 0; s < kStrata * kStrata; ++s) {
                const float u = (float(s % kStrata) + 0.5f) / kStrata, v = (float(s / kStrata) + 0.5f) / kStrata;
                const BsdfSample b = full.Sample(wo, u, v);
                if (!(b.pdf > 0.0f)) continue;
                sumFull += b.weight.x;  // F = 1: the shadowing weight alone
                VECTOR h = wo + b.wi;
                const float len = std::sqrt(Dot3(h, h));
                const float oh = len > 0.0f ? Dot3(wo, h) / len : 1.0f;
                const float e = 1.0f - std::clamp(oh, 0.0f, 1.0f);
                sumEdge += b.weight.x * double(e * e * e * e * e);
            }
            const float n = float(kStrata * kStrata);
            t.b[i * kRoughnesses + j] = float(sumEdge) / n;
            t.a[i * kRoughnesses + j] = float(sumFull - sumEdge) / n;
        }
        // Cosine-weighted means: 2 c dc over the rows (trapezoids).
        double ma = 0.0, mb = 0.0, w = 0.0;
        for (int i = 0; i + 1 < kCosines; ++i) {
            const float c0 = float(i) / float(kCosines - 1), c1 = float(i + 1) / float(kCosines - 1);
            const double dw = double(c1 * c1 - c0 * c0);
            ma += dw * 0.5 * (t.a[i * kRoughnesses + j] + t.a[(i + 1) * kRoughnesses + j]);
            mb += dw * 0.5 * (t.b[i * kRoughnesses + j] + t.b[(i + 1) * kRoughnesses + j]);
            w += dw;
        }
        t.meanA[j] = float(ma / w);
        t.meanB[j] = float(mb / w);
    }
    return t;
}

const AlbedoTable& Table() {
    static const AlbedoTable table = MakeAlbedoTable();
    return table;
}

// Position x in [0, 1] on a grid of n points: the lower index and the weight of the upper one.
inline void GridPlace(float x, int n, int& i, float& f) {
    const float g = Unit(x) * float(n - 1);
    i = std::min(int(g), n - 2);
    f = g - float(i);
}

}  // namespace

float SchlickEdge(float f0max) { return std::clamp(50.0f * f0max, 0.0f, 1.0f); }

void CoatAlbedoTerms(float cosine, float roughness, float& a, float& b) {
    const AlbedoTable& t = Table();
    int i, j;
    float fi, fj;
    GridPlace(cosine, kCosines, i, fi);
    GridPlace(roughness, kRoughnesses, j, fj);
    const auto at = [&](const std::array<float, kCosines * kRoughnesses>& v) {
        const float top = v[i * kRoughnesses + j] * (1.0f - fj) + v[i * kRoughnesses + j + 1] * fj;
        const float next = v[(i + 1) * kRoughnesses + j] * (1.0f - fj) + v[(i + 1) * kRoughnesses + j + 1] * fj;
        return top * (1.0f - fi) + next * fi;
    };
    a = at(t.a);
    b = at(t.b);
}

void CoatMeanTerms(float roughness, float& a, float& b) {
    const AlbedoTable& t = Table();
    int j;
    float fj;
    GridPlace(roughness, kRoughnesses, j, fj);
    a = t.meanA[j] * (1.0f - fj) + t.meanA[j + 1] * fj;
    b = t.meanB[j] * (1.0f - fj) + t.meanB[j + 1] * fj;
}

SurfaceParameters MaterialParameters(const ORVA_GRAPHICS::Material& m) {
    SurfaceParameters p;
    const float* base = m.texture >= 0 ? m.tint : m.diffuse;
    for (int k = 0; k < 3; ++k) {
        p.base[k] = Unit(base[k]);
        p.specular[k] = Unit(m.specular[k]);
        p.emission[k] = NonNegative(m.emission[k]);
    }
    p.metallic = Unit(m.metallic);
    p.roughness = Unit(m.roughness);
    p.mirror = Unit(m.mirror);
    p.reflectsScene = m.reflectsScene;
    p.twoSided = m.twoSided;
    return p;
}

SurfaceParameters SurfaceParametersAt(const ORVA_GRAPHICS::Material& m, float u, float v) {
    SurfaceParameters p = MaterialParameters(m);
    // Texels come in the tracer's lanes: red x, blue y, green z.
    const auto map = [&](const TEXTURE* image, float out[3]) {
        const VECTOR t = SampleTexture(image, u, v);
        out[0] = t.x, out[1] = t.z, out[2] = t.y;
    };
    float texel[3];
    if (m.texture >= 0) {
        map(m.image, texel);
        for (int k = 0; k < 3; ++k) p.base[k] *= texel[k];
    }
    if (const TEXTURE* image = m.mapImages[ORVA_GRAPHICS::kMetalRoughMap]) {
        map(image, texel);
        p.roughness *= texel[1];
        p.metallic *= texel[2];
    }
    if (const TEXTURE* image = m.mapImages[ORVA_GRAPHICS::kSpecularMap]) {
        map(image, texel);
        for (int k = 0; k < 3; ++k) p.specular[k] *= texel[k];
    }
    if (const TEXTURE* image = m.mapImages[ORVA_GRAPHICS::kEmissionMap]) {
        map(image, texel);
        for (int k = 0; k < 3; ++k) p.emission[k] *= texel[k];
    }
    return p;
}

SurfaceBsdf::SurfaceBsdf(const SurfaceParameters& p, const VECTOR& wo, const VECTOR& shading, const VECTOR& geometric)
    : frame_(shading),
      wo_(Direction(wo.x, wo.y, wo.z)),
      woLocal_(frame_.ToLocal(wo)),
      geometric_(Direction(geometric.x, geometric.y, geometric.z)) {
    const float f0[3] = {p.CoatF0(0), p.CoatF0(1), p.CoatF0(2)};
    f0_ = Lanes(f0);
    emission_ = Lanes(p.emission);
    f90_ = SchlickEdge(std::max({f0[0], f0[1], f0[2]}));
    coatWeight_ = p.CoatWeight();
    mirror_ = p.mirror;
    roughness_ = p.roughness;
    const VECTOR tOut = CoatTransmission(woLocal_.z);
    float ma, mb;
    CoatMeanTerms(roughness_, ma, mb);
    const VECTOR meanOut = VECTOR(1.0f, 1.0f, 1.0f, 0.0f) - (f0_ * ma + VECTOR(f90_, f90_, f90_, 0.0f) * mb);
    const VECTOR base = Lanes(p.base) * p.DiffuseWeight();
    diffuseOut_ = ORVA_MATH::Mul(base, tOut);
    const auto over = [](float x, float y) { return y > 1e-4f ? x / y : 0.0f; };
    diffuseScale_ = Direction(over(diffuseOut_.x, meanOut.x), over(diffuseOut_.y, meanOut.y), over(diffuseOut_.z, meanOut.z)) *
                    (1.0f / kPi);
    if (p.DiffuseWeight() > 0.0f && (p.base[0] > 0.0f || p.base[1] > 0.0f || p.base[2] > 0.0f)) lobes_ |= kDiffuseLobe;
    if (coatWeight_ > 0.0f && f90_ > 0.0f) lobes_ |= kCoatLobe | (p.reflectsScene ? kCoatSceneLobe : 0u);
    if (mirror_ > 0.0f) lobes_ |= kMirrorLobe;
    if (p.emission[0] > 0.0f || p.emission[1] > 0.0f || p.emission[2] > 0.0f) lobes_ |= kEmissionLobe;
}

VECTOR SurfaceBsdf::CoatTransmission(float cosine) const {
    float a, b;
    CoatAlbedoTerms(cosine, roughness_, a, b);
    const VECTOR t = VECTOR(1.0f, 1.0f, 1.0f, 0.0f) - (f0_ * a + VECTOR(f90_, f90_, f90_, 0.0f) * b);
    return Direction(std::max(t.x, 0.0f), std::max(t.y, 0.0f), std::max(t.z, 0.0f));
}

bool SurfaceBsdf::Above(const VECTOR& wiWorld, const VECTOR& wiLocal) const {
    return wiLocal.z > 0.0f && Dot3(wiWorld, geometric_) > 0.0f && woLocal_.z > 0.0f;
}

VECTOR SurfaceBsdf::DiffuseReflected(const VECTOR& wi) const {
    const VECTOR local = frame_.ToLocal(wi);
    if (!(lobes_ & kDiffuseLobe) || !Above(wi, local)) return Direction(0.0f, 0.0f, 0.0f);
    return ORVA_MATH::Mul(diffuseScale_, CoatTransmission(local.z)) * local.z;
}

VECTOR SurfaceBsdf::CoatReflected(const VECTOR& wi) const {
    const VECTOR local = frame_.ToLocal(wi);
    if (!(lobes_ & kCoatLobe) || !Above(wi, local)) return Direction(0.0f, 0.0f, 0.0f);
    const Microfacet coat(std::max(roughness_, kLightRoughness), f0_);
    return coat.Evaluate(woLocal_, local) * (coatWeight_ * local.z);
}

BsdfSample SurfaceBsdf::ToWorld(BsdfSample s) const {
    s.wi = frame_.ToWorld(s.wi);
    if (!(s.pdf > 0.0f) || !(Dot3(s.wi, geometric_) > 0.0f)) {
        s.pdf = 0.0f;
        s.weight = Direction(0.0f, 0.0f, 0.0f);
    }
    return s;
}

BsdfSample SurfaceBsdf::SampleDiffuse(float u, float v) const {
    BsdfSample s = Lambert(Direction(1.0f, 1.0f, 1.0f)).Sample(woLocal_, u, v);
    // f cos / pdf with pdf cos / pi: pi times the lobe's value.
    s.weight = ORVA_MATH::Mul(diffuseScale_, CoatTransmission(s.wi.z)) * kPi;
    if (!(lobes_ & kDiffuseLobe)) s.pdf = 0.0f;
    return ToWorld(s);
}

BsdfSample SurfaceBsdf::SampleCoat(float u, float v) const {
    BsdfSample s;
    if (lobes_ & kCoatLobe) {
        s = Microfacet(roughness_, f0_).Sample(woLocal_, u, v);
        s.weight = s.weight * coatWeight_;
    }
    return ToWorld(s);
}

BsdfSample SurfaceBsdf::SampleMirror() const {
    BsdfSample s;
    if (lobes_ & kMirrorLobe) s = Mirror(VECTOR(mirror_, mirror_, mirror_, 0.0f)).Sample(woLocal_);
    return ToWorld(s);
}

}  // namespace RAYTR
