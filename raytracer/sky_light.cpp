#include "raytracer/sky_light.h"

#include <cmath>

#include "raytracer/bsdf.h"
#include "raytracer/scene.h"
#include "raytracer/sky.h"

namespace RAYTR {

VECTOR SkyRadiance(const SkyDome& sky, float strength, const VECTOR& d) {
    if (sky.texture == nullptr) return VECTOR(strength, strength, strength, 0.0f);
    // From the dome's centre: the direction alone picks the texel, wherever the point is.
    const Ray ray(sky.centre, VECTOR(d.x, d.y, d.z, 0.0f));
    return SkyColour(sky, ray) * strength;
}

VECTOR SkyIrradiance(const SceneLighting& lighting, const VECTOR& n) {
    const float up = 0.5f * (1.0f + std::fmax(0.0f, std::fmin(1.0f, n.y)));
    return lighting.skyUp * up;
}

float DirectShare(const Scene& scene, const VECTOR& position, const VECTOR& normal) {
    if (scene.lights.Size() == 0) return 0.0f;
    const LightSource& light = scene.lights[0];
    // The preview's light: a point (w = 1) with the tracer's attenuation, or a direction toward
    // the light's position (w = 0), unattenuated, as OpenGL treats the two.
    const bool point = light.position.w != 0.0f;
    const VECTOR D = point ? VECTOR(light.position.x - position.x, light.position.y - position.y,
                                    light.position.z - position.z, 0.0f)
                           : VECTOR(light.position.x, light.position.y, light.position.z, 0.0f);
    const float d = ORVA_MATH::Length(D);
    const float n = ORVA_MATH::Length(VECTOR(normal.x, normal.y, normal.z, 0.0f));
    if (!(d > 0.0f) || !(n > 0.0f)) return 0.0f;
    const float nl = (D.x * normal.x + D.y * normal.y + D.z * normal.z) / (d * n);
    if (!(nl > 0.0f)) return 0.0f;
    const float attenuation = point ? 1.0f / (light.a0 + light.a1 * d + light.a2 * d * d) : 1.0f;
    if (!(attenuation > 0.0f) || !std::isfinite(attenuation)) return 0.0f;
    // Grey light: the channels' mean of the scene's ambient.
    const SceneLighting& l = scene.lighting;
    float ambient = kSceneAmbient;
    if (l.skyLight > 0.0f) {
        const VECTOR sky = SkyIrradiance(l, VECTOR(normal.x / n, normal.y / n, normal.z / n, 0.0f));
        ambient = (sky.x + sky.y + sky.z) / 3.0f;
    }
    const float lightColour = (float(light.r) + float(light.g) + float(light.b)) / (3.0f * 255.0f);
    const float direct = nl * attenuation * lightColour;
    // OpenGL clamps the lit colour at 1: beyond it the direct light's share is what it adds up to 1.
    const float base = ambient + kLightAmbient * attenuation * lightColour;
    const float lit = std::fmin(base + direct, 1.0f);
    return lit > base ? (lit - base) / lit : 0.0f;
}

void PrepareLighting(Scene& scene, float skyLight) {
    SceneLighting& l = scene.lighting;
    l.skyLight = skyLight > 0.0f && std::isfinite(skyLight) ? skyLight : 0.0f;
    // The cosine-weighted mean over the upper hemisphere on a 64 x 32 grid of equal projected
    // areas (the unit disk in rings of equal area, lifted onto the hemisphere).
    VECTOR sum(0.0f, 0.0f, 0.0f, 0.0f);
    constexpr int kAround = 64, kRings = 32;
    for (int j = 0; j < kRings; ++j) {
        const float r = std::sqrt((float(j) + 0.5f) / float(kRings));  // radius on the disk
        const float y = std::sqrt(std::fmax(0.0f, 1.0f - r * r));
        for (int i = 0; i < kAround; ++i) {
            const float phi = 2.0f * kPi * (float(i) + 0.5f) / float(kAround);
            sum += SkyRadiance(scene.sky, l.skyLight, VECTOR(r * std::cos(phi), y, r * std::sin(phi), 0.0f));
        }
    }
    l.skyUp = sum / float(kAround * kRings);
    l.skyUp.w = 0.0f;
    // The sky a mirror shows, over the sphere (z uniform in [-1, 1]).
    VECTOR seen(0.0f, 0.0f, 0.0f, 0.0f);
    for (int j = 0; j < kRings; ++j) {
        const float y = -1.0f + (2.0f * float(j) + 1.0f) / float(kRings);
        const float r = std::sqrt(std::fmax(0.0f, 1.0f - y * y));
        for (int i = 0; i < kAround; ++i) {
            const float phi = 2.0f * kPi * (float(i) + 0.5f) / float(kAround);
            seen += SkyRadiance(scene.sky, 1.0f, VECTOR(r * std::cos(phi), y, r * std::sin(phi), 0.0f));
        }
    }
    l.environment = scene.sky.texture != nullptr ? seen / float(kAround * kRings) : l.skyUp;
    l.environment.w = 0.0f;
    l.seeThrough = false;
    for (unsigned i = 0; i < scene.objects.Size(); ++i) {
        const TObject& object = scene.objects[i];
        if ((object.flags & (TObject::kClosestHitFlag | TObject::kShadowFlag)) == 0) continue;
        for (const ORVA_GRAPHICS::Material& m : object.materials) l.seeThrough = l.seeThrough || m.SeeThrough();
    }
}

}  // namespace RAYTR
