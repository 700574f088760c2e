// Grid build and ray-query throughput on the demo scene's model 0 (the torus knot), beside
// Embree 3 on the same triangles and the same rays: queries on one thread, builds on one and
// on two threads.
//
//   build/<dir>/bench/grid_bench                 all benchmarks, then the summary table
//   build/<dir>/bench/grid_bench --benchmark_filter=Shadow
//
// Camera rays: 512 x 512 from (0, 0, 15) toward the model, 45-degree field of view.
// Shadow rays: from the closest hit of every camera ray that meets the model toward the light
// at (2.16, 2.54, 6.73), the segment ending at the light (t = 1); ours skip the triangle the
// point lies on, Embree's start at t = 1e-4. Both sides compute the same things: the nearest
// hit of each camera ray (Intersect / rtcIntersect1) and whether anything blocks each shadow
// segment (Occluded / rtcOccluded1). Embree's triangles are two-sided, ours one-sided (the
// model is closed, so the nearest hits agree). Our queries use grids of the demo's algorithm.

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

#include "errors/message_box.h"
#include "grid/regular_grid.h"
#include "loaders/demo_scene.h"
#include "mesh/vertex.h"
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
    RAYTR::Ray ray;  // origin on the surface, direction to the light (length = distance)
    const Triangle* skip;
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
std::map<std::string, double> gRates;
std::map<std::string, double> gBytesPerTriangle;

// The build factor of the demo's release.cgf ("cub_less_elem_times = x").
float DemoBuildFactor() {
    const std::string text = LOAD_3DS::DemoConfiguration();
    const std::string key = "cub_less_elem_times";
    const size_t at = text.find(key);
    if (at == std::string::npos) return 0.75f;
    const size_t eq = text.find('=', at);
    return static_cast<float>(std::atof(text.c_str() + eq + 1));
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
        VECTOR p = r.origin + r.direction * rh.ray.tfar;
        p.w = 1.0f;
        VECTOR d = light - p;
        d.w = 0.0f;
        gShadowRays.push_back(ShadowRay{RAYTR::Ray(p, d), &gModel.triangles[rh.hit.primID]});
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
    gRates[name] = static_cast<double>(total) / seconds;
}

RAYTR::Grid* GridAt(float factor, int algorithm) {
    static std::map<std::pair<float, int>, RAYTR::Grid*> grids;
    RAYTR::Grid*& grid = grids[{factor, algorithm}];
    if (grid == nullptr) {
        grid = new RAYTR::Grid;
        grid->SetAlgorithm(algorithm);
        RAYTR::gridBuildFactor = factor;
        grid->Build(gModel.triangles.data(), static_cast<int>(gModel.triangles.size()), gModel.box);
    }
    return grid;
}

std::string FactorName(float factor) {
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
    RAYTR::gridBuildThreads = threads;
    for (auto _ : state) {
        const double start = threads > 1 ? WallSeconds() : ThreadSeconds();
        RAYTR::Grid grid;
        grid.SetAlgorithm(algorithm);
        RAYTR::gridBuildFactor = factor;
        grid.Build(gModel.triangles.data(), static_cast<int>(gModel.triangles.size()), gModel.box);
        seconds += (threads > 1 ? WallSeconds() : ThreadSeconds()) - start;
        bytes = static_cast<double>(grid.MemoryBytes());
        built += gModel.triangles.size();
    }
    RAYTR::gridBuildThreads = 0;
    state.counters["triangles/s"] = benchmark::Counter(static_cast<double>(built), benchmark::Counter::kIsRate);
    state.counters["bytes/triangle"] = bytes / static_cast<double>(gModel.triangles.size());
    gRates[BuildKey(algorithm == RAYTR::kFastAlgorithm ? "fast" : "accurate", threads)] =
        static_cast<double>(built) / seconds;
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
    gRates[BuildKey("embree", threads)] = static_cast<double>(built) / seconds;
}

void BM_GridCamera(benchmark::State& state, float factor) {
    const RAYTR::Grid& grid = *GridAt(factor, RAYTR::kAccuracyAlgorithm);
    RunRays(state, "camera grid " + FactorName(factor), gCameraRays.size(), [&] {
        int64_t hits = 0;
        for (const RAYTR::Ray& r : gCameraRays) {
            RAYTR::RayHit hit;
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
        for (const ShadowRay& s : gShadowRays) hits += grid.Occluded(s.ray, 1.0f, s.skip);
        return hits;
    });
}

void BM_EmbreeCamera(benchmark::State& state) {
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    RunRays(state, "camera embree", gCameraRays.size(), [&] {
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

void BM_EmbreeShadow(benchmark::State& state) {
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    RunRays(state, "shadow embree", gShadowRays.size(), [&] {
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

// ---- packets: eight rays per query, ours (coherent grid traversal) and Embree's ----------
// Camera packets are 4 x 2 pixels; shadow packets are eight consecutive shadow rays (the hits
// of neighbouring pixels of one row, mostly).
std::vector<std::array<int, 8>> CameraPackets() {
    std::vector<std::array<int, 8>> packets;
    for (int y = 0; y < 512; y += 2)
        for (int x = 0; x < 512; x += 4) {
            std::array<int, 8> p;
            for (int i = 0; i < 8; ++i) p[i] = (y + i / 4) * 512 + x + i % 4;
            packets.push_back(p);
        }
    return packets;
}

void BM_GridCameraPackets(benchmark::State& state) {
    const RAYTR::Grid& grid = *GridAt(gDemoFactor, RAYTR::kAccuracyAlgorithm);
    const auto packets = CameraPackets();
    RunRays(state, "packets camera grid", gCameraRays.size(), [&] {
        int64_t hits = 0;
        for (const auto& p : packets) {
            RAYTR::Ray rays[8];
            RAYTR::RayHit found[8];
            float limit[8];
            for (int i = 0; i < 8; ++i) rays[i] = gCameraRays[p[i]], limit[i] = 1e38f;
            hits += __builtin_popcount(grid.IntersectPacket(rays, 0xFF, found, limit));
        }
        return hits;
    });
}

void BM_GridShadowPackets(benchmark::State& state) {
    const RAYTR::Grid& grid = *GridAt(gDemoFactor, RAYTR::kAccuracyAlgorithm);
    RunRays(state, "packets shadow grid", gShadowRays.size(), [&] {
        int64_t hits = 0;
        for (size_t first = 0; first < gShadowRays.size(); first += 8) {
            RAYTR::Ray rays[8];
            const Triangle* skip[8] = {};
            float limit[8];
            int active = 0;
            for (int i = 0; i < 8 && first + i < gShadowRays.size(); ++i) {
                rays[i] = gShadowRays[first + i].ray, skip[i] = gShadowRays[first + i].skip, limit[i] = 1.0f;
                active |= 1 << i;
            }
            hits += __builtin_popcount(grid.OccludedPacket(rays, active, limit, skip));
        }
        return hits;
    });
}

void BM_EmbreeCamera8(benchmark::State& state) {
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    const auto packets = CameraPackets();
    RunRays(state, "packets camera embree", gCameraRays.size(), [&] {
        int64_t hits = 0;
        alignas(32) int valid[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
        for (const auto& p : packets) {
            RTCRayHit8 rh;
            for (int i = 0; i < 8; ++i) {
                const RAYTR::Ray& r = gCameraRays[p[i]];
                rh.ray.org_x[i] = r.origin.x, rh.ray.org_y[i] = r.origin.y, rh.ray.org_z[i] = r.origin.z;
                rh.ray.dir_x[i] = r.direction.x, rh.ray.dir_y[i] = r.direction.y, rh.ray.dir_z[i] = r.direction.z;
                rh.ray.tnear[i] = 0.0f, rh.ray.tfar[i] = 1e30f, rh.ray.time[i] = 0.0f;
                rh.ray.mask[i] = 0xFFFFFFFFu, rh.ray.id[i] = 0, rh.ray.flags[i] = 0;
                rh.hit.geomID[i] = RTC_INVALID_GEOMETRY_ID;
            }
            rtcIntersect8(valid, gScene, &context, &rh);
            for (int i = 0; i < 8; ++i) hits += rh.hit.geomID[i] != RTC_INVALID_GEOMETRY_ID;
        }
        return hits;
    });
}

void BM_EmbreeShadow8(benchmark::State& state) {
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    RunRays(state, "packets shadow embree", gShadowRays.size(), [&] {
        int64_t hits = 0;
        for (size_t first = 0; first < gShadowRays.size(); first += 8) {
            RTCRay8 ray;
            alignas(32) int valid[8];
            for (int i = 0; i < 8; ++i) {
                valid[i] = first + i < gShadowRays.size() ? -1 : 0;
                const RAYTR::Ray& r = gShadowRays[valid[i] ? first + i : first].ray;
                ray.org_x[i] = r.origin.x, ray.org_y[i] = r.origin.y, ray.org_z[i] = r.origin.z;
                ray.dir_x[i] = r.direction.x, ray.dir_y[i] = r.direction.y, ray.dir_z[i] = r.direction.z;
                ray.tnear[i] = 1e-4f, ray.tfar[i] = 1.0f, ray.time[i] = 0.0f;
                ray.mask[i] = 0xFFFFFFFFu, ray.id[i] = 0, ray.flags[i] = 0;
            }
            rtcOccluded8(valid, gScene, &context, &ray);
            for (int i = 0; i < 8; ++i) hits += valid[i] && ray.tfar[i] < 0.0f;
        }
        return hits;
    });
}

void PrintSummary() {
    auto rate = [](const std::string& key) {
        const auto it = gRates.find(key);
        return it == gRates.end() ? 0.0 : it->second;
    };
    std::printf("\nDemo model 0: %zu triangles, demo build factor %g; %zu camera rays, %zu shadow rays\n",
                gModel.triangles.size(), gDemoFactor, gCameraRays.size(), gShadowRays.size());
    std::printf("%-34s %14s %14s %8s\n", "build (triangles/s)", "ours", "embree", "ratio");
    for (int threads : {1, 2})
        for (const char* which : {"fast", "accurate"}) {
            const std::string ours = BuildKey(which, threads), peer = BuildKey("embree", threads);
            if (rate(ours) > 0.0 && rate(peer) > 0.0)
                std::printf("%-34s %14.0f %14.0f %8.3f\n", ours.c_str(), rate(ours), rate(peer),
                            rate(ours) / rate(peer));
        }
    std::printf("%-34s %14s %14s %8s %10s\n", "query (rays/s, one thread)", "ours", "embree", "ratio", "bytes/tri");
    for (const auto& [key, value] : gRates) {
        const bool camera = key.rfind("camera grid ", 0) == 0, shadow = key.rfind("shadow grid ", 0) == 0;
        if (!camera && !shadow) continue;
        const double peer = rate(camera ? "camera embree" : "shadow embree");
        const std::string factor = key.substr(key.rfind(' ') + 1);
        const double bytes = gBytesPerTriangle.count(factor) ? gBytesPerTriangle[factor] : 0.0;
        std::printf("%-34s %14.0f %14.0f %8.3f %10.1f\n", (key + (std::atof(factor.c_str()) == gDemoFactor ? " (demo)" : "")).c_str(),
                    value, peer, peer > 0.0 ? value / peer : 0.0, bytes);
    }
    std::printf("%-34s %14s %14s %8s %10s\n", "8-ray packets (rays/s, one thread)", "ours", "embree 8", "ratio",
                "vs 1 ray");
    for (const char* which : {"camera", "shadow"}) {
        const std::string ours = std::string("packets ") + which + " grid";
        const std::string peer = std::string("packets ") + which + " embree";
        const std::string one = std::string(which) + " grid " + FactorName(gDemoFactor);
        if (rate(ours) > 0.0 && rate(peer) > 0.0)
            std::printf("%-34s %14.0f %14.0f %8.3f %10.3f\n", ours.c_str(), rate(ours), rate(peer),
                        rate(ours) / rate(peer), rate(one) > 0.0 ? rate(ours) / rate(one) : 0.0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Build titles go nowhere; a memory warning is printed rather than shown as a box.
    TIRN_ERROR::SetBoxSink([](const std::string& caption, const std::string& text) {
        std::fprintf(stderr, "%s %s\n", caption.c_str(), text.c_str());
    });
    gDemoFactor = DemoBuildFactor();
    LoadModel();
    gDevice = rtcNewDevice("threads=1");
    gScene = BuildEmbreeScene();
    MakeRays();

    for (int threads : {1, 2}) {
        const std::string suffix = "/threads:" + std::to_string(threads);
        benchmark::RegisterBenchmark(("Build/fast" + suffix).c_str(), BM_GridBuild, RAYTR::kFastAlgorithm, threads)
            ->Unit(benchmark::kMillisecond)->UseRealTime();
        benchmark::RegisterBenchmark(("Build/accurate" + suffix).c_str(), BM_GridBuild, RAYTR::kAccuracyAlgorithm,
                                     threads)
            ->Unit(benchmark::kMillisecond)->UseRealTime();
        benchmark::RegisterBenchmark(("Build/embree" + suffix).c_str(), BM_EmbreeBuild, threads)
            ->Unit(benchmark::kMillisecond)->UseRealTime();
    }
    benchmark::RegisterBenchmark("Camera/embree", BM_EmbreeCamera)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Shadow/embree", BM_EmbreeShadow)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Camera/embree8", BM_EmbreeCamera8)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Shadow/embree8", BM_EmbreeShadow8)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Camera/grid/packets", BM_GridCameraPackets)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Shadow/grid/packets", BM_GridShadowPackets)->Unit(benchmark::kMillisecond);
    std::vector<float> factors = {0.5f, gDemoFactor, 1.0f, 1.5f, 2.0f, 4.0f};
    std::sort(factors.begin(), factors.end());
    factors.erase(std::unique(factors.begin(), factors.end()), factors.end());
    for (float f : factors) {
        benchmark::RegisterBenchmark(("Camera/grid/factor:" + FactorName(f)).c_str(), BM_GridCamera, f)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("Shadow/grid/factor:" + FactorName(f)).c_str(), BM_GridShadow, f)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    PrintSummary();
    rtcReleaseScene(gScene);
    rtcReleaseDevice(gDevice);
    return 0;
}
