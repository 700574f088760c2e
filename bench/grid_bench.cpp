// Grid build and ray-query throughput on the demo scene's model 0 (the torus knot), beside
// Embree 3 on the same triangles and the same rays: queries on one thread, builds on one and
// on two threads. Ours and Embree's run in turns, round after round (--rounds N, default 3),
// and the summary gives the ratio of each round, with the load average.
//
//   build/<dir>/bench/grid_bench                 all benchmarks, then the summary table
//   build/<dir>/bench/grid_bench --benchmark_filter=Shadow
//   REDOWL_ISA=avx2 build/<dir>/bench/grid_bench  the kernels of one instruction set
//
// Camera rays: 512 x 512 from (0, 0, 15) toward the model, 45-degree field of view.
// Shadow rays: from the closest hit of every camera ray that meets the model toward the light
// at (2.16, 2.54, 6.73), the segment ending at the light (t = 1), from the hit point offset by
// its error bound (raytracer/offset.h); Embree's also start at t = 1e-4. Both sides compute
// the same things: the nearest hit of each camera ray (Intersect / rtcIntersect1) and whether
// anything blocks each shadow segment (Occluded / rtcOccluded1). Embree's triangles are
// two-sided, ours one-sided (the model is closed, so the nearest hits agree). Our queries use
// grids of the demo's algorithm.

#include <benchmark/benchmark.h>
#include <embree3/rtcore.h>

#include <array>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bench/demo_grid.h"
#include "grid/regular_grid.h"
#include "loaders/demo_scene.h"
#include "mesh/vertex.h"
#include "raytracer/offset.h"
#include "raytracer/ray.h"

namespace {

using ORVA_GRAPHICS::Triangle;
using ORVA_GRAPHICS::VERTEX;
using ORVA_MATH::VECTOR;

struct Model {
    std::vector<VERTEX> vertices;
    std::vector<Triangle> triangles;
    ORVA_GRAPHICS::BoxTransform box;
    std::vector<float> embreeVertices;     // x, y, z per vertex
    std::vector<unsigned> embreeIndices;   // three per triangle
};

struct ShadowRay {
    RAYTR::Ray ray;  // origin off the surface, direction to the light (length = distance)
};

Model gModel;
float gDemoFactor = 0.75f;
std::vector<RAYTR::Ray> gCameraRays;
std::vector<ShadowRay> gShadowRays;
RTCDevice gDevice = nullptr;
RTCScene gScene = nullptr;

// Seconds of processor time of this thread: the machine is shared, so wall time would count
// time spent descheduled; both our figures and Embree's are measured this way.
double ThreadSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// rays (or triangles) per second of the last run of each benchmark, for the summary.
// Every round's rate per name, in the order the rounds ran.
std::map<std::string, std::vector<double>> gRates;

// Keeps a run's rate: Google Benchmark calls a benchmark several times in a row while it finds
// its iteration count, and only the last call of such a row counts for the round.
void Record(const std::string& name, double rate) {
    static std::string last;
    std::vector<double>& rates = gRates[name];
    if (name == last && !rates.empty()) rates.back() = rate;
    else rates.push_back(rate);
    last = name;
}
std::map<std::string, double> gBytesPerTriangle;

// The build factor of the demo's release.cgf ("cub_less_elem_times = x"), kAuto for auto.
constexpr float kAuto = -1.0f;
float DemoBuildFactor() {
    const RAYTR::GridBuildSettings demo = redowl_bench::DemoGridSettings();
    return demo.autoFactor ? kAuto : demo.factor;
}

// Build settings for a factor (kAuto: cub_less_elem_times = auto).
RAYTR::GridBuildSettings SettingsFor(float factor, int algorithm) {
    RAYTR::GridBuildSettings settings;
    settings.algorithm = algorithm;
    settings.factor = factor;
    settings.autoFactor = factor == kAuto;
    return settings;
}

void LoadModel() {
    const LOAD_3DS::WriterMesh knot = LOAD_3DS::MakeTorusKnot();
    Model& m = gModel;
    m.vertices.resize(knot.vertices.size());
    VECTOR lo{1e30f, 1e30f, 1e30f, 1.0f}, hi{-1e30f, -1e30f, -1e30f, 1.0f};
    for (size_t i = 0; i < knot.vertices.size(); ++i) {
        const auto& p = knot.vertices[i];
        m.vertices[i].position = VECTOR{p.x, p.y, p.z, 1.0f};
        lo = VECTOR{std::fmin(lo.x, p.x), std::fmin(lo.y, p.y), std::fmin(lo.z, p.z), 1.0f};
        hi = VECTOR{std::fmax(hi.x, p.x), std::fmax(hi.y, p.y), std::fmax(hi.z, p.z), 1.0f};
        m.embreeVertices.insert(m.embreeVertices.end(), {p.x, p.y, p.z});
    }
    m.box.minimum = lo;
    m.box.maximum = hi;
    for (const auto& f : knot.faces) {
        Triangle t;
        t.A = &m.vertices[f.a];
        t.B = &m.vertices[f.b];
        t.C = &m.vertices[f.c];
        m.triangles.push_back(t);
        m.embreeIndices.insert(m.embreeIndices.end(),
                               {static_cast<unsigned>(f.a), static_cast<unsigned>(f.b), static_cast<unsigned>(f.c)});
    }
}

RTCScene BuildEmbreeScene(RTCDevice device = gDevice) {
    RTCScene scene = rtcNewScene(device);
    RTCGeometry geometry = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
    const size_t nv = gModel.vertices.size(), nt = gModel.triangles.size();
    auto* v = static_cast<float*>(
        rtcSetNewGeometryBuffer(geometry, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, 3 * sizeof(float), nv));
    std::copy(gModel.embreeVertices.begin(), gModel.embreeVertices.end(), v);
    auto* idx = static_cast<unsigned*>(
        rtcSetNewGeometryBuffer(geometry, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, 3 * sizeof(unsigned), nt));
    std::copy(gModel.embreeIndices.begin(), gModel.embreeIndices.end(), idx);
    rtcCommitGeometry(geometry);
    rtcAttachGeometry(scene, geometry);
    rtcReleaseGeometry(geometry);
    rtcCommitScene(scene);
    return scene;
}

void MakeRays() {
    const int size = 512;
    const float tanHalf = std::tan(45.0f * 3.14159265f / 360.0f);
    const VECTOR eye{0.0f, 0.0f, 15.0f, 1.0f};
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const float sx = (2.0f * (x + 0.5f) / size - 1.0f) * tanHalf;
            const float sy = (1.0f - 2.0f * (y + 0.5f) / size) * tanHalf;
            gCameraRays.emplace_back(eye, VECTOR{sx, sy, -1.0f, 0.0f});
        }
    // Shadow rays from Embree's closest hits.
    const VECTOR light{2.16f, 2.54f, 6.73f, 1.0f};
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    for (const RAYTR::Ray& r : gCameraRays) {
        RTCRayHit rh{};
        rh.ray.org_x = r.origin.x;
        rh.ray.org_y = r.origin.y;
        rh.ray.org_z = r.origin.z;
        rh.ray.dir_x = r.direction.x;
        rh.ray.dir_y = r.direction.y;
        rh.ray.dir_z = r.direction.z;
        rh.ray.tnear = 0.0f;
        rh.ray.tfar = 1e30f;
        rh.ray.mask = 0xFFFFFFFFu;
        rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
        rtcIntersect1(gScene, &context, &rh);
        if (rh.hit.geomID == RTC_INVALID_GEOMETRY_ID) continue;
        RAYTR::RayHit hit;
        hit.triangle = &gModel.triangles[rh.hit.primID];
        hit.b1 = rh.hit.u;
        hit.b2 = rh.hit.v;
        hit.b0 = 1.0f - rh.hit.u - rh.hit.v;
        const RAYTR::SurfacePoint surface = RAYTR::SurfaceOf(hit, false);
        const VECTOR p = RAYTR::OffsetRayOrigin(surface, light - surface.position);
        VECTOR d = light - p;
        d.w = 0.0f;
        gShadowRays.push_back(ShadowRay{RAYTR::Ray(p, d)});
    }
}

void ToEmbreeRay(const RAYTR::Ray& r, RTCRay& out, float tnear, float tfar) {
    out.org_x = r.origin.x;
    out.org_y = r.origin.y;
    out.org_z = r.origin.z;
    out.dir_x = r.direction.x;
    out.dir_y = r.direction.y;
    out.dir_z = r.direction.z;
    out.tnear = tnear;
    out.tfar = tfar;
    out.time = 0.0f;
    out.mask = 0xFFFFFFFFu;
    out.id = 0;
    out.flags = 0;
}

// Times one pass over all rays per iteration and keeps the rate of the last run.
template <class Body>
void RunRays(benchmark::State& state, const std::string& name, size_t rays, Body&& body) {
    size_t total = 0;
    double seconds = 0.0;
    int64_t hits = 0;
    for (auto _ : state) {
        const double start = ThreadSeconds();
        hits = body();
        seconds += ThreadSeconds() - start;
        total += rays;
    }
    state.counters["rays/s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
    state.counters["hit %"] = 100.0 * static_cast<double>(hits) / static_cast<double>(rays);
    Record(name, static_cast<double>(total) / seconds);
}

RAYTR::Grid* GridAt(float factor, int algorithm) {
    static std::map<std::pair<float, int>, RAYTR::Grid*> grids;
    RAYTR::Grid*& grid = grids[{factor, algorithm}];
    if (grid == nullptr) {
        grid = new RAYTR::Grid;
        grid->Build(gModel.triangles.data(), static_cast<int>(gModel.triangles.size()), SettingsFor(factor, algorithm));
    }
    return grid;
}

std::string FactorName(float factor) {
    if (factor == kAuto) return "auto";
    char text[32];
    std::snprintf(text, sizeof text, "%g", factor);
    return text;
}

// Wall-clock seconds, for builds that run on several threads (processor time of one thread
// would miss the others' work); run them on a quiet machine.
double WallSeconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

std::string BuildKey(const char* who, int threads) {
    return std::string("build ") + who + (threads > 1 ? ", " + std::to_string(threads) + " threads" : std::string());
}

// One thread: processor time of this thread; several: wall time, Embree given as many threads.
void BM_GridBuild(benchmark::State& state, int algorithm, int threads) {
    const float factor = gDemoFactor;
    size_t built = 0;
    double seconds = 0.0;
    double bytes = 0.0;
    RAYTR::GridBuildSettings settings = SettingsFor(factor, algorithm);
    settings.threads = threads;
    for (auto _ : state) {
        const double start = threads > 1 ? WallSeconds() : ThreadSeconds();
        RAYTR::Grid grid;
        grid.Build(gModel.triangles.data(), static_cast<int>(gModel.triangles.size()), settings);
        seconds += (threads > 1 ? WallSeconds() : ThreadSeconds()) - start;
        bytes = static_cast<double>(grid.MemoryBytes());
        built += gModel.triangles.size();
    }
    state.counters["triangles/s"] = benchmark::Counter(static_cast<double>(built), benchmark::Counter::kIsRate);
    state.counters["bytes/triangle"] = bytes / static_cast<double>(gModel.triangles.size());
    Record(BuildKey(algorithm == RAYTR::kFastAlgorithm ? "fast" : "accurate", threads),
           static_cast<double>(built) / seconds);
}

void BM_EmbreeBuild(benchmark::State& state, int threads) {
    size_t built = 0;
    double seconds = 0.0;
    const std::string config = "threads=" + std::to_string(threads);
    RTCDevice device = threads > 1 ? rtcNewDevice(config.c_str()) : gDevice;
    for (auto _ : state) {
        const double start = threads > 1 ? WallSeconds() : ThreadSeconds();
        RTCScene scene = BuildEmbreeScene(device);
        seconds += (threads > 1 ? WallSeconds() : ThreadSeconds()) - start;
        rtcReleaseScene(scene);
        built += gModel.triangles.size();
    }
    if (device != gDevice) rtcReleaseDevice(device);
    state.counters["triangles/s"] = benchmark::Counter(static_cast<double>(built), benchmark::Counter::kIsRate);
    Record(BuildKey("embree", threads), static_cast<double>(built) / seconds);
}

void BM_GridCamera(benchmark::State& state, float factor) {
    const RAYTR::Grid& grid = *GridAt(factor, RAYTR::kAccuracyAlgorithm);
    RunRays(state, "camera grid " + FactorName(factor), gCameraRays.size(), [&] {
        int64_t hits = 0;
        for (const RAYTR::Ray& r : gCameraRays) {
            RAYTR::GridHit hit;
            hits += grid.Intersect(r, hit);
        }
        return hits;
    });
    gBytesPerTriangle[FactorName(factor)] =
        static_cast<double>(grid.MemoryBytes()) / static_cast<double>(gModel.triangles.size());
}

void BM_GridShadow(benchmark::State& state, float factor) {
    const RAYTR::Grid& grid = *GridAt(factor, RAYTR::kAccuracyAlgorithm);
    RunRays(state, "shadow grid " + FactorName(factor), gShadowRays.size(), [&] {
        int64_t hits = 0;
        for (const ShadowRay& s : gShadowRays) hits += grid.Occluded(s.ray, 1.0f);
        return hits;
    });
}

void BM_EmbreeCamera(benchmark::State& state, float factor) {
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    RunRays(state, "camera embree " + FactorName(factor), gCameraRays.size(), [&] {
        int64_t hits = 0;
        for (const RAYTR::Ray& r : gCameraRays) {
            RTCRayHit rh;
            ToEmbreeRay(r, rh.ray, 0.0f, 1e30f);
            rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
            rtcIntersect1(gScene, &context, &rh);
            hits += rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
        }
        return hits;
    });
}

void BM_EmbreeShadow(benchmark::State& state, float factor) {
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    RunRays(state, "shadow embree " + FactorName(factor), gShadowRays.size(), [&] {
        int64_t hits = 0;
        for (const ShadowRay& s : gShadowRays) {
            RTCRay ray;
            ToEmbreeRay(s.ray, ray, 1e-4f, 1.0f);
            rtcOccluded1(gScene, &context, &ray);
            hits += ray.tfar < 0.0f;
        }
        return hits;
    });
}

// Ours against the peer round by round: the median of our rates, of the peer's, and the
// ratios of the rounds (ours / peer of the same round), lowest to highest.
void PrintPair(const std::string& label, const std::string& ours, const std::string& peer, const std::string& extra = "") {
    const auto a = gRates.find(ours), b = gRates.find(peer);
    if (a == gRates.end() || b == gRates.end()) return;
    const size_t rounds = std::min(a->second.size(), b->second.size());
    if (rounds == 0) return;
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::vector<double> ratios;
    for (size_t i = 0; i < rounds; ++i) ratios.push_back(a->second[i] / b->second[i]);
    std::sort(ratios.begin(), ratios.end());
    std::printf("%-34s %14.0f %14.0f   %.3f-%.3f %s\n", label.c_str(), median(a->second), median(b->second),
                ratios.front(), ratios.back(), extra.c_str());
}

void PrintSummary() {
    double load[3] = {0.0, 0.0, 0.0};
    if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3) load[0] = -1.0;
        std::fclose(f);
    }
    std::printf("\nDemo model 0: %zu triangles, demo build factor %s; %zu camera rays, %zu shadow rays; kernels %s;"
                " load average %.2f %.2f %.2f\n",
                gModel.triangles.size(), FactorName(gDemoFactor).c_str(), gCameraRays.size(), gShadowRays.size(), RAYTR::Kernel().name,
                load[0], load[1], load[2]);
    std::printf("%-34s %14s %14s   %s\n", "build (triangles/s)", "ours", "embree", "ratio per round");
    for (int threads : {1, 2})
        for (const char* which : {"fast", "accurate"})
            PrintPair(BuildKey(which, threads), BuildKey(which, threads), BuildKey("embree", threads));
    std::printf("%-34s %14s %14s   %s\n", "query (rays/s, one thread)", "ours", "embree", "ratio per round");
    for (const auto& [key, value] : gRates) {
        const bool camera = key.rfind("camera grid ", 0) == 0, shadow = key.rfind("shadow grid ", 0) == 0;
        if (!camera && !shadow) continue;
        const std::string factor = key.substr(key.rfind(' ') + 1);
        char bytes[64] = "";
        if (gBytesPerTriangle.count(factor)) std::snprintf(bytes, sizeof bytes, "%.1f bytes/triangle", gBytesPerTriangle[factor]);
        PrintPair(key + (factor == FactorName(gDemoFactor) ? " (demo)" : ""), key,
                  (camera ? "camera embree " : "shadow embree ") + factor, bytes);
    }
}

}  // namespace

int main(int argc, char** argv) {
    gDemoFactor = DemoBuildFactor();
    LoadModel();
    gDevice = rtcNewDevice("threads=1");
    gScene = BuildEmbreeScene();
    MakeRays();

    // Rounds of ours and Embree's in turns.
    int rounds = 3;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--rounds") {
            rounds = std::max(1, std::atoi(argv[i + 1]));
            for (int k = i; k + 2 <= argc; ++k) argv[k] = argv[k + 2];
            argc -= 2;
            break;
        }
    std::vector<float> factors = {kAuto, 0.25f, 0.35f, 0.5f, gDemoFactor, 0.75f, 1.0f, 1.5f, 2.0f, 4.0f};
    std::sort(factors.begin(), factors.end());
    factors.erase(std::unique(factors.begin(), factors.end()), factors.end());
    for (int round = 1; round <= rounds; ++round) {
        const std::string r = "/round:" + std::to_string(round);
        for (int threads : {1, 2}) {
            const std::string suffix = "/threads:" + std::to_string(threads) + r;
            benchmark::RegisterBenchmark(("Build/embree" + suffix).c_str(), BM_EmbreeBuild, threads)
                ->Unit(benchmark::kMillisecond)->UseRealTime();
            benchmark::RegisterBenchmark(("Build/fast" + suffix).c_str(), BM_GridBuild, RAYTR::kFastAlgorithm, threads)
                ->Unit(benchmark::kMillisecond)->UseRealTime();
            benchmark::RegisterBenchmark(("Build/accurate" + suffix).c_str(), BM_GridBuild, RAYTR::kAccuracyAlgorithm,
                                         threads)
                ->Unit(benchmark::kMillisecond)->UseRealTime();
        }
        for (float f : factors) {
            if (round == 1 || f == gDemoFactor) {
                benchmark::RegisterBenchmark(("Camera/embree/factor:" + FactorName(f) + r).c_str(), BM_EmbreeCamera, f)
                    ->Unit(benchmark::kMillisecond);
                benchmark::RegisterBenchmark(("Camera/grid/factor:" + FactorName(f) + r).c_str(), BM_GridCamera, f)
                    ->Unit(benchmark::kMillisecond);
                benchmark::RegisterBenchmark(("Shadow/embree/factor:" + FactorName(f) + r).c_str(), BM_EmbreeShadow, f)
                    ->Unit(benchmark::kMillisecond);
                benchmark::RegisterBenchmark(("Shadow/grid/factor:" + FactorName(f) + r).c_str(), BM_GridShadow, f)
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    PrintSummary();
    rtcReleaseScene(gScene);
    rtcReleaseDevice(gDevice);
    return 0;
}
