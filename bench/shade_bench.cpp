// Shading speed: Shade (closest hit, shadow ray, one mirror bounce with its own shadow ray,
// texture and light) per pixel over a 512 x 512 view of the demo scene on one thread, beside
// Embree 3 tracing the very same primary, shadow and bounce rays (intersect and occluded
// queries only, no shading), and our own queries alone on those rays. Prints the ratios.

#include <embree3/rtcore.h>
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench/demo_grid.h"
#include "grid/regular_grid.h"
#include "loaders/demo_scene.h"
#include "math/matrix.h"
#include "raytracer/scene.h"
#include "raytracer/shading.h"
#include "raytracer/tobject.h"

namespace {

using ORVA_MATH::MATRIX;
using ORVA_MATH::VECTOR;
using RAYTR::Ray;
using RAYTR::RayHit;

constexpr int kSize = 512;

struct ShadowRay {
    Ray ray;
    float distance;  // to the light
};

// Everything the benchmarks share, made once.
struct Setup {
    RAYTR::Scene scene;
    std::vector<Ray> primary;
    std::vector<Ray> bounce;
    std::vector<ShadowRay> shadow;
    RTCDevice device = nullptr;
    RTCScene embree = nullptr;

    Setup();
    ~Setup() {
        if (embree) rtcReleaseScene(embree);
        if (device) rtcReleaseDevice(device);
    }
};

void Load(RAYTR::TObject& model, const std::string& file, const std::string& texture, bool traced) {
    model.LoadFrom3DS(file);
    if (!texture.empty()) model.textures[0].LoadBMP(texture.c_str());
    if (traced) {
        model.gridSettings = redowl_bench::DemoGridSettings();
        model.PrepareForTracing();
        model.flags = 0x0F;
    } else {
        model.flags = 0x03;
    }
}

Setup::Setup() {
    // The demo files, written fresh.
    const std::string dir = (std::filesystem::temp_directory_path() / "redowl_shade_bench").string();
    std::string error;
    if (!LOAD_3DS::WriteDemoScene(dir, &error)) {
        std::fprintf(stderr, "cannot write the demo scene: %s\n", error.c_str());
        std::exit(1);
    }
    // Assembly as the viewer does it: grid settings of the demo's release.cgf, models 0 and 2
    // translated, model 1 (the sky) drawn but not traced.
    static RAYTR::TObject models[3];
    models[0].SetTransform(MATRIX::Translation(0.0f, -1.65f, 0.0f));
    models[2].SetTransform(MATRIX::Translation(0.0f, -5.0f, 0.0f));
    Load(models[0], dir + "/data/knot.3ds", dir + "/data/texture1.bmp", true);
    Load(models[1], dir + "/data/sky.3ds", dir + "/data/SKY.bmp", false);
    Load(models[2], dir + "/data/floor.3ds", dir + "/data/texture1.bmp", true);
    for (const RAYTR::TObject& m : models) scene.AddObject(m);
    RAYTR::LightSource light;
    light.SetColour(255, 255, 255);
    light.ambient = 1.0f;
    light.a0 = 1.0f;
    light.a1 = 0.01f;
    light.a2 = 0.001f;
    light.position = VECTOR(2.16121f, 2.54030f, 6.73177f, 0.0f);
    scene.AddLight(light);
    scene.eye = VECTOR(0.0f, 0.0f, 15.0f, 0.0f);
    scene.target = VECTOR(0.0f, 0.0f, 0.0f, 0.0f);

    // Primary rays of a 45-degree view from the eye toward -z, bottom row first.
    const float zPlane = static_cast<float>(-0.5 * kSize / std::tan(0.39269909262657166));
    for (int j = 0; j < kSize; ++j)
        for (int i = 0; i < kSize; ++i) {
            VECTOR d(static_cast<float>(i - kSize / 2), static_cast<float>(j - kSize / 2), zPlane, 0.0f);
            d = d / ORVA_MATH::Length(d);
            d.w = 0.0f;
            primary.emplace_back(VECTOR(0.0f, 0.0f, 15.0f, 1.0f), d);
        }

    // The rays that Shade(ray, hit, 1) traces: per visible point a shadow ray and a bounce,
    // and per bounce hit one more shadow ray.
    const VECTOR lightPoint(light.position.x, light.position.y, light.position.z, 1.0f);
    auto addShadow = [&](const RayHit& hit) {
        const Ray ray = RAYTR::ShadowRay(hit, lightPoint);
        shadow.push_back({ray, ORVA_MATH::Length(lightPoint - ray.origin)});
    };
    for (const Ray& ray : primary) {
        RayHit hit;
        if (!RAYTR::ClosestHit(ray, scene, hit)) continue;
        addShadow(hit);
        // Models are only translated here, so the object normal is the world normal.
        VECTOR n = RAYTR::InterpolatedNormal(hit);
        n.w = 0.0f;
        VECTOR rd = RAYTR::Reflect(ray.direction, n);
        rd.w = 0.0f;
        const Ray b(RAYTR::OffsetRayOrigin(RAYTR::SurfaceOf(hit, false), rd), rd);
        bounce.push_back(b);
        RayHit second;
        second.triangle = hit.triangle;
        if (RAYTR::ClosestHit(b, scene, second)) addShadow(second);
    }

    // Embree: the traced models in world coordinates, one thread.
    device = rtcNewDevice("threads=1");
    embree = rtcNewScene(device);
    for (const RAYTR::TObject& m : models) {
        if (!(m.flags & RAYTR::TObject::kClosestHitFlag)) continue;
        RTCGeometry g = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
        auto* v = static_cast<float*>(
            rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, 3 * sizeof(float), m.vertexCount));
        for (unsigned k = 0; k < m.vertexCount; ++k) {
            const VECTOR p = ORVA_MATH::Transform(m.vertices[k].position, m.box.transform);
            v[3 * k] = p.x;
            v[3 * k + 1] = p.y;
            v[3 * k + 2] = p.z;
        }
        auto* ix = static_cast<unsigned*>(rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                                                                  3 * sizeof(unsigned), m.triangleCount));
        for (unsigned k = 0; k < m.indexCount; ++k) ix[k] = m.indices[k];
        rtcCommitGeometry(g);
        rtcAttachGeometry(embree, g);
        rtcReleaseGeometry(g);
    }
    rtcCommitScene(embree);
}

Setup& Shared() {
    static Setup setup;
    return setup;
}

// Our figure: the whole shading of the view, one thread.
void BM_RedOwlShade(benchmark::State& state) {
    const Setup& s = Shared();
    for (auto _ : state) {
        float sum = 0.0f;
        for (const Ray& ray : s.primary) {
            RayHit hit;
            const VECTOR c = RAYTR::Shade(ray, hit, 1, s.scene);
            sum += c.x + c.y + c.z;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.counters["rays/frame"] = static_cast<double>(s.primary.size() + s.bounce.size() + s.shadow.size());
}

// Our queries alone on the same rays (no shading).
void BM_RedOwlQueries(benchmark::State& state) {
    const Setup& s = Shared();
    const VECTOR light = s.scene.lights[0].position;
    for (auto _ : state) {
        unsigned hits = 0, blocked = 0;
        for (const Ray& ray : s.primary) {
            RayHit hit;
            hits += RAYTR::ClosestHit(ray, s.scene, hit);
        }
        for (std::size_t k = 0; k < s.bounce.size(); ++k) {
            RayHit hit;
            hits += RAYTR::ClosestHit(s.bounce[k], s.scene, hit);
        }
        for (std::size_t k = 0; k < s.shadow.size(); ++k) {
            blocked += RAYTR::ShadowBlocked(s.shadow[k].ray, s.scene, light);
        }
        benchmark::DoNotOptimize(hits);
        benchmark::DoNotOptimize(blocked);
        state.counters["hits"] = hits;
        state.counters["blocked"] = blocked;
    }
}

// The peer: Embree on the same primary, bounce and shadow rays.
void BM_EmbreeSameRays(benchmark::State& state) {
    const Setup& s = Shared();
    constexpr float kOffset = 1e-3f;  // leaves the surface a ray starts on
    for (auto _ : state) {
        RTCIntersectContext context;
        rtcInitIntersectContext(&context);
        unsigned hits = 0, blocked = 0;
        auto intersect = [&](const Ray& ray, float tnear) {
            RTCRayHit rh;
            rh.ray.org_x = ray.origin.x;
            rh.ray.org_y = ray.origin.y;
            rh.ray.org_z = ray.origin.z;
            rh.ray.dir_x = ray.direction.x;
            rh.ray.dir_y = ray.direction.y;
            rh.ray.dir_z = ray.direction.z;
            rh.ray.tnear = tnear;
            rh.ray.tfar = 1e30f;
            rh.ray.mask = 0xFFFFFFFFu;
            rh.ray.flags = 0;
            rh.ray.time = 0.0f;
            rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
            rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
            rtcIntersect1(s.embree, &context, &rh);
            hits += rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
        };
        for (const Ray& ray : s.primary) intersect(ray, 0.0f);
        for (const Ray& ray : s.bounce) intersect(ray, kOffset);
        for (const ShadowRay& sr : s.shadow) {
            RTCRay r;
            r.org_x = sr.ray.origin.x;
            r.org_y = sr.ray.origin.y;
            r.org_z = sr.ray.origin.z;
            r.dir_x = sr.ray.direction.x;
            r.dir_y = sr.ray.direction.y;
            r.dir_z = sr.ray.direction.z;
            r.tnear = kOffset;
            r.tfar = sr.distance - kOffset;
            r.mask = 0xFFFFFFFFu;
            r.flags = 0;
            r.time = 0.0f;
            rtcOccluded1(s.embree, &context, &r);
            blocked += r.tfar < 0.0f;
        }
        benchmark::DoNotOptimize(hits);
        benchmark::DoNotOptimize(blocked);
        state.counters["hits"] = hits;
        state.counters["blocked"] = blocked;
    }
}

BENCHMARK(BM_RedOwlShade)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RedOwlQueries)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EmbreeSameRays)->Unit(benchmark::kMillisecond);

// Keeps each benchmark's time per frame for the summary.
class Recorder : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        // One figure per benchmark: its single run, or the median of its repetitions.
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Iteration || median) times[run.run_name.function_name] = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;  // CPU milliseconds per frame (the machine may be shared)
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Shared();  // scene, rays and the Embree build, outside the timings
    const Setup& s = Shared();
    std::printf("demo scene %dx%d: %zu primary, %zu bounce and %zu shadow rays per frame\n", kSize, kSize,
                s.primary.size(), s.bounce.size(), s.shadow.size());
    Recorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    const auto shade = recorder.times.find("BM_RedOwlShade");
    const auto queries = recorder.times.find("BM_RedOwlQueries");
    const auto peer = recorder.times.find("BM_EmbreeSameRays");
    if (peer != recorder.times.end() && peer->second > 0.0) {
        if (shade != recorder.times.end())
            std::printf("Red Owl Shade %.2f ms/frame, Embree same rays %.2f ms/frame (CPU time): ratio %.2f\n", shade->second,
                        peer->second, shade->second / peer->second);
        if (queries != recorder.times.end())
            std::printf("Red Owl queries only %.2f ms/frame, Embree same rays %.2f ms/frame (CPU time): ratio %.2f\n",
                        queries->second, peer->second, queries->second / peer->second);
    }
    benchmark::Shutdown();
    return 0;
}
