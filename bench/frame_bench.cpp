// Frame speed of the screen tracer at 512 x 512 on the demo scene with 1, 2 and 4 threads: the
// shadow mask from the preview's depth buffer, the shadow mask from primary rays, and the full
// trace (shadows, one mirror bounce). Beside them, on the same view, rays and thread count,
// Embree 3 doing the work without our tricks: a brute-force shadow mask (a primary and a shadow
// ray for every pixel) and a full trace whose ray queries are Embree's and whose shading is our
// own LocalIllumination. Prints frames per second and the ratios.
//
// After the per-benchmark table, a summary measured with ours and Embree's frames interleaved
// (so that a busy machine slows both alike): the mask, and the whole hybrid frame with software
// GL (preview, depth read-back, mask, upload, overlay and the swap) beside Embree's brute-force
// mask; then the depth read-back in each format the driver offers, with the mask each gives
// against the one from GL_FLOAT depths.
//
// Needs an X display for the OpenGL context (the depth buffer comes from the real preview);
// under Xvfb: DISPLAY=:99 LIBGL_ALWAYS_SOFTWARE=1 frame_bench. --summary=traced measures only the traced
// frames beside Embree's in the summary, --summary=unseen only three scenes of other models
// (our whole traced frame against Embree's bare rays), --summary=shaded only the demo's hybrid
// frame with its models in their own materials, the preview shaded per pixel against the same
// frame drawn fixed-function, --summary=none skips it.

#include <embree3/rtcore.h>
#include <benchmark/benchmark.h>
#include <GL/freeglut.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <memory>
#include <string>
#include <vector>

#include "bench/demo_grid.h"
#include "grid/regular_grid.h"
#include "loaders/demo_scene.h"
#include "loaders/normals.h"
#include "math/matrix.h"
#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"
#include "raytracer/shading.h"
#include "raytracer/sky_light.h"
#include "raytracer/tobject.h"
#include "bench/worker_team.h"
#include "render/render.h"

namespace {

using ORVA_MATH::MATRIX;
using ORVA_MATH::VECTOR;
using RAYTR::Ray;
using RAYTR::RayHit;
using RAYTR::ScreenTracer;

constexpr int kSize = 512;

// ---- the scene, assembled as the viewer assembles the demo ----------------------------------

// A mesh as model 0's object: positions scaled and centred into a 5-unit box (as the demo's
// knot), smooth normals, the fixed material.
void FillObject(RAYTR::TObject& object, LOAD_3DS::WriterMesh mesh) {
    float lo[3] = {1e30f, 1e30f, 1e30f}, hi[3] = {-1e30f, -1e30f, -1e30f};
    for (const LOAD_3DS::LPoint3& p : mesh.vertices)
        for (int k = 0; k < 3; ++k) {
            const float c = k == 0 ? p.x : k == 1 ? p.y : p.z;
            lo[k] = std::min(lo[k], c);
            hi[k] = std::max(hi[k], c);
        }
    const float scale = 5.0f / std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]});
    for (LOAD_3DS::LPoint3& p : mesh.vertices)
        p = {(p.x - (lo[0] + hi[0]) / 2) * scale, (p.y - (lo[1] + hi[1]) / 2) * scale, (p.z - (lo[2] + hi[2]) / 2) * scale};
    const std::vector<LOAD_3DS::LPoint3> normals = LOAD_3DS::SmoothNormals(mesh.vertices, mesh.faces);
    const unsigned V = static_cast<unsigned>(mesh.vertices.size()), F = static_cast<unsigned>(mesh.faces.size());
    object.Allocate(V, 3 * F, F);
    object.UseFixedMaterial();
    for (unsigned i = 0; i < V; ++i) {
        object.vertices[i].position = VECTOR(mesh.vertices[i].x, mesh.vertices[i].y, mesh.vertices[i].z, 1.0f);
        object.vertices[i].normal = VECTOR(normals[i].x, normals[i].y, normals[i].z, 0.0f);
        object.vertices[i].u = i < mesh.uvs.size() ? mesh.uvs[i].u : 0.0f;
        object.vertices[i].v = i < mesh.uvs.size() ? mesh.uvs[i].v : 0.0f;
    }
    for (unsigned t = 0; t < F; ++t) {
        const int corner[3] = {mesh.faces[t].a, mesh.faces[t].b, mesh.faces[t].c};
        for (int k = 0; k < 3; ++k) object.indices[3 * t + k] = static_cast<unsigned>(corner[k]);
        object.triangles[t].A = object.vertices + corner[0];
        object.triangles[t].B = object.vertices + corner[1];
        object.triangles[t].C = object.vertices + corner[2];
    }
}

// The demo scene, or with `model` in place of its knot (the unseen scenes).
RAYTR::Scene* MakeDemoScene(const LOAD_3DS::WriterMesh* model = nullptr) {
    const std::string dir = std::string(REDOWL_BINARY_DIR) + "/frame_bench_demo";
    std::string error;
    if (!LOAD_3DS::WriteDemoScene(dir, &error)) {
        std::fprintf(stderr, "frame_bench: cannot write the demo scene: %s\n", error.c_str());
        std::exit(1);
    }
    auto* scene = new RAYTR::Scene();
    std::vector<RAYTR::TObject> models(3);
    models[0].SetTransform(MATRIX::Translation(0.0f, -1.65f, 0.0f));
    models[2].SetTransform(MATRIX::Translation(0.0f, -5.0f, 0.0f));
    models[0].AssignTexture(dir + "/data/texture1.bmp", 0);
    models[1].AssignTexture(dir + "/data/SKY.bmp", 0);
    models[2].AssignTexture(dir + "/data/texture1.bmp", 0);
    const char* files[3] = {"/data/knot.3ds", "/data/sky.3ds", "/data/floor.3ds"};
    for (int i = 0; i < 3; ++i) {
        if (i == 0 && model != nullptr) FillObject(models[i], *model);
        else models[i].LoadFrom3DS(dir + files[i]);
        if (i != 1) {
            models[i].gridSettings = redowl_bench::DemoGridSettings();
            models[i].PrepareForTracing();
            models[i].flags = 0x0F;
        } else {
            models[i].flags = 0x03;
        }
        scene->AddObject(models[i]);
    }
    // The light of the first frame, as the application sets it up.
    RAYTR::LightSource light;
    light.ambient = 1.0f;
    light.a0 = 1.0f;
    light.a1 = 0.01f;
    light.a2 = 0.001f;
    light.position = VECTOR(4.0f * float(std::cos(1.0)), float(std::cos(1.0)) + 2.0f, 8.0f * float(std::sin(1.0)), 0.0f);
    light.SetColour(255, 255, 255);
    scene->AddLight(light);
    scene->eye = VECTOR(0.0f, 0.0f, 15.0f, 0.0f);
    scene->target = VECTOR(0.0f, 0.0f, 0.0f, 0.0f);
    return scene;
}

// ---- the unseen scenes: models the tracer was not tuned on, in the demo's place ---------------

// A sphere of rings x segments whose radius rises and falls in two ripples.
LOAD_3DS::WriterMesh BumpySphere(int rings, int segments) {
    LOAD_3DS::WriterMesh m;
    const float pi = 3.14159265f;
    for (int r = 0; r <= rings; ++r)
        for (int k = 0; k < segments; ++k) {
            const float theta = pi * float(r) / float(rings), phi = 2.0f * pi * float(k) / float(segments);
            const float rho = 1.0f + 0.15f * std::sin(7.0f * phi) * std::sin(9.0f * theta) + 0.05f * std::sin(23.0f * phi + 3.0f * theta);
            m.vertices.push_back({rho * std::sin(theta) * std::cos(phi), rho * std::cos(theta), rho * std::sin(theta) * std::sin(phi)});
        }
    auto at = [&](int r, int k) { return r * segments + k % segments; };
    for (int r = 0; r < rings; ++r)
        for (int k = 0; k < segments; ++k) {
            // Outward: counter-clockwise seen from outside.
            m.faces.push_back({at(r, k), at(r, k + 1), at(r + 1, k)});
            m.faces.push_back({at(r, k + 1), at(r + 1, k + 1), at(r + 1, k)});
        }
    return m;
}

// n boxes of random sizes scattered in a cube, faces outward.
LOAD_3DS::WriterMesh ScatteredBoxes(int n) {
    LOAD_3DS::WriterMesh m;
    std::mt19937 random(3);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const int quads[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    for (int b = 0; b < n; ++b) {
        const float c[3] = {unit(random) * 20.0f, unit(random) * 20.0f, unit(random) * 20.0f};
        const float h[3] = {0.1f + unit(random) * 0.8f, 0.1f + unit(random) * 0.8f, 0.1f + unit(random) * 0.8f};
        const int first = static_cast<int>(m.vertices.size());
        for (int k = 0; k < 8; ++k)
            m.vertices.push_back({c[0] + ((k & 1) ? h[0] : -h[0]), c[1] + ((k & 2) ? h[1] : -h[1]), c[2] + ((k & 4) ? h[2] : -h[2])});
        for (const auto& q : quads) {
            m.faces.push_back({first + q[0], first + q[1], first + q[2]});
            m.faces.push_back({first + q[0], first + q[2], first + q[3]});
        }
    }
    return m;
}

// ---- Embree: the traced objects in world coordinates -------------------------------------

struct EmbreeScene {
    RTCDevice device = nullptr;
    RTCScene scene = nullptr;
    std::vector<const RAYTR::TObject*> objects;  // by geometry id

    explicit EmbreeScene(const RAYTR::Scene& s) {
        device = rtcNewDevice(nullptr);
        scene = rtcNewScene(device);
        for (unsigned i = 0; i < s.objects.Size(); ++i) {
            const RAYTR::TObject& o = s.objects[i];
            if (!(o.flags & RAYTR::TObject::kClosestHitFlag)) continue;
            RTCGeometry g = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
            auto* v = static_cast<float*>(rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                                                                  3 * sizeof(float), o.vertexCount));
            for (unsigned k = 0; k < o.vertexCount; ++k) {
                const VECTOR w = ORVA_MATH::Transform(o.vertices[k].position, o.box.transform);
                v[3 * k] = w.x;
                v[3 * k + 1] = w.y;
                v[3 * k + 2] = w.z;
            }
            auto* ix = static_cast<unsigned*>(rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                                                                      3 * sizeof(unsigned), o.triangleCount));
            for (unsigned k = 0; k < 3 * o.triangleCount; ++k) ix[k] = o.indices[k];
            rtcCommitGeometry(g);
            const unsigned id = rtcAttachGeometry(scene, g);
            rtcReleaseGeometry(g);
            if (objects.size() <= id) objects.resize(id + 1, nullptr);
            objects[id] = &o;
        }
        rtcCommitScene(scene);
    }
    ~EmbreeScene() {
        rtcReleaseScene(scene);
        rtcReleaseDevice(device);
    }

    // Nearest hit as one of our hit records (object coordinates, the object's transform).
    bool Intersect(const Ray& ray, float tnear, RayHit& hit, float& t) const {
        RTCIntersectContext context;
        rtcInitIntersectContext(&context);
        RTCRayHit rh;
        rh.ray.org_x = ray.origin.x;
        rh.ray.org_y = ray.origin.y;
        rh.ray.org_z = ray.origin.z;
        rh.ray.tnear = tnear;
        rh.ray.dir_x = ray.direction.x;
        rh.ray.dir_y = ray.direction.y;
        rh.ray.dir_z = ray.direction.z;
        rh.ray.time = 0.0f;
        rh.ray.tfar = INFINITY;
        rh.ray.mask = 0xFFFFFFFFu;
        rh.ray.id = 0;
        rh.ray.flags = 0;
        rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
        rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
        rtcIntersect1(scene, &context, &rh);
        if (rh.hit.geomID == RTC_INVALID_GEOMETRY_ID) return false;
        const RAYTR::TObject& o = *objects[rh.hit.geomID];
        hit = RayHit();
        hit.triangle = &o.triangles[rh.hit.primID];
        hit.b1 = rh.hit.u;
        hit.b2 = rh.hit.v;
        hit.b0 = 1.0f - rh.hit.u - rh.hit.v;
        RAYTR::ComputeHitPoint(hit);
        hit.transform = &o.box.transposed;
        hit.material = o.MaterialOf(hit.triangle);
        t = rh.ray.tfar;
        return true;
    }

    // Eight rays at once (lanes with valid[i] = 0 are idle): nearest hits as our hit records.
    void Intersect8(const Ray* rays, const int* valid, RayHit* hits, bool* found) const {
        RTCIntersectContext context;
        rtcInitIntersectContext(&context);
        RTCRayHit8 rh;
        for (int i = 0; i < 8; ++i) {
            const Ray& ray = rays[i];
            rh.ray.org_x[i] = ray.origin.x;
            rh.ray.org_y[i] = ray.origin.y;
            rh.ray.org_z[i] = ray.origin.z;
            rh.ray.tnear[i] = 0.0f;
            rh.ray.dir_x[i] = ray.direction.x;
            rh.ray.dir_y[i] = ray.direction.y;
            rh.ray.dir_z[i] = ray.direction.z;
            rh.ray.time[i] = 0.0f;
            rh.ray.tfar[i] = INFINITY;
            rh.ray.mask[i] = 0xFFFFFFFFu;
            rh.ray.id[i] = static_cast<unsigned>(i);
            rh.ray.flags[i] = 0;
            rh.hit.geomID[i] = RTC_INVALID_GEOMETRY_ID;
            rh.hit.instID[0][i] = RTC_INVALID_GEOMETRY_ID;
        }
        rtcIntersect8(valid, scene, &context, &rh);
        for (int i = 0; i < 8; ++i) {
            found[i] = valid[i] != 0 && rh.hit.geomID[i] != RTC_INVALID_GEOMETRY_ID;
            if (!found[i]) continue;
            const RAYTR::TObject& o = *objects[rh.hit.geomID[i]];
            RayHit& hit = hits[i];
            hit = RayHit();
            hit.triangle = &o.triangles[rh.hit.primID[i]];
            hit.b1 = rh.hit.u[i];
            hit.b2 = rh.hit.v[i];
            hit.b0 = 1.0f - rh.hit.u[i] - rh.hit.v[i];
            RAYTR::ComputeHitPoint(hit);
            hit.transform = &o.box.transposed;
            hit.material = o.MaterialOf(hit.triangle);
        }
    }

    // Eight shadow segments at once; blocked[i] for the valid lanes.
    void Occluded8(const VECTOR* from, const VECTOR& to, const int* valid, bool* blocked) const {
        RTCIntersectContext context;
        rtcInitIntersectContext(&context);
        RTCRay8 r;
        for (int i = 0; i < 8; ++i) {
            const VECTOR d = to - from[i];
            const float distance = ORVA_MATH::Length(d);
            r.org_x[i] = from[i].x;
            r.org_y[i] = from[i].y;
            r.org_z[i] = from[i].z;
            r.tnear[i] = 1e-3f;
            r.dir_x[i] = distance > 0.0f ? d.x / distance : 0.0f;
            r.dir_y[i] = distance > 0.0f ? d.y / distance : 0.0f;
            r.dir_z[i] = distance > 0.0f ? d.z / distance : 1.0f;
            r.time[i] = 0.0f;
            r.tfar[i] = distance;
            r.mask[i] = 0xFFFFFFFFu;
            r.id[i] = static_cast<unsigned>(i);
            r.flags[i] = 0;
        }
        rtcOccluded8(valid, scene, &context, &r);
        for (int i = 0; i < 8; ++i) blocked[i] = valid[i] != 0 && r.tfar[i] < 0.0f;
    }

    bool Occluded(const VECTOR& from, const VECTOR& to) const {
        const VECTOR d = to - from;
        const float distance = ORVA_MATH::Length(d);
        RTCIntersectContext context;
        rtcInitIntersectContext(&context);
        RTCRay r;
        r.org_x = from.x;
        r.org_y = from.y;
        r.org_z = from.z;
        r.tnear = 1e-3f;
        r.dir_x = d.x / distance;
        r.dir_y = d.y / distance;
        r.dir_z = d.z / distance;
        r.time = 0.0f;
        r.tfar = distance;
        r.mask = 0xFFFFFFFFu;
        r.id = 0;
        r.flags = 0;
        rtcOccluded1(scene, &context, &r);
        return r.tfar < 0.0f;
    }
};

// ---- what every benchmark shares --------------------------------------------------------

struct Shared {
    RAYTR::Scene* scene = nullptr;
    std::unique_ptr<Renderer> render;
    std::vector<float> depth;  // the preview's depth read back once
    std::unique_ptr<EmbreeScene> embree;
    std::map<int, std::unique_ptr<ScreenTracer>> tracers;  // by thread count
};
Shared* shared = nullptr;

ScreenTracer& Tracer(int threads) {
    auto& t = shared->tracers[threads];
    if (!t) {
        t = std::make_unique<ScreenTracer>(kSize, kSize, threads);
        t->AttachScene(shared->scene);
        t->TraceFrame(nullptr);  // camera matrices for the Embree rays
    }
    return *t;
}

// The ray of mask element p and of full-trace pixel p, as the tracer makes them.
Ray MaskRay(const ScreenTracer& t, int p) { return t.Camera().PixelRay(p / kSize, p % kSize); }
Ray FullRay(const ScreenTracer& t, int p) { return t.Camera().PixelRay(p / kSize, p % kSize); }

// Embree's shading of one ray: our LocalIllumination on Embree's hits and shadow rays.
VECTOR EmbreeShade(const Ray& ray, int depth) {
    RayHit hit;
    float t = 0.0f;
    if (!shared->embree->Intersect(ray, 0.0f, hit, t)) return VECTOR(0.0f, 0.0f, 0.0f, 0.0f);
    (void)t;
    const VECTOR pw = RAYTR::HitPointInWorld(hit);
    VECTOR acc(0.0f, 0.0f, 0.0f, 0.0f);
    for (unsigned k = 0; k < shared->scene->lights.Size(); ++k) {
        const RAYTR::LightSource& light = shared->scene->lights[k];
        if (!shared->embree->Occluded(pw, light.position))
            acc += RAYTR::LocalIllumination(ray, hit, light, *shared->scene);
    }
    if (depth == 0) return acc;
    const VECTOR rd = RAYTR::Reflect(ray.direction, RAYTR::InterpolatedNormal(hit));
    Ray bounce(pw, rd);
    bounce.origin = bounce.origin + rd * 1e-3f;
    return acc * 0.6f + EmbreeShade(bounce, depth - 1) * 0.4f;
}

// The same shading with Embree's eight-ray packets: the eight pixels' rays, their shadow rays
// and their bounces each go to Embree as one packet (rtcIntersect8 / rtcOccluded8).
void EmbreeShade8(const Ray* rays, const int* valid, int depth, VECTOR* colour) {
    RayHit hits[8];
    bool found[8];
    shared->embree->Intersect8(rays, valid, hits, found);
    VECTOR pw[8];
    alignas(32) int hitValid[8];  // Embree reads valid masks as aligned vectors
    for (int i = 0; i < 8; ++i) {
        colour[i] = VECTOR(0.0f, 0.0f, 0.0f, 0.0f);
        hitValid[i] = found[i] ? -1 : 0;
        pw[i] = found[i] ? RAYTR::HitPointInWorld(hits[i]) : VECTOR(0.0f, 0.0f, 0.0f, 1.0f);
    }
    for (unsigned k = 0; k < shared->scene->lights.Size(); ++k) {
        const RAYTR::LightSource& light = shared->scene->lights[k];
        bool blocked[8];
        shared->embree->Occluded8(pw, light.position, hitValid, blocked);
        for (int i = 0; i < 8; ++i)
            if (found[i] && !blocked[i]) colour[i] += RAYTR::LocalIllumination(rays[i], hits[i], light, *shared->scene);
    }
    if (depth == 0) return;
    Ray bounce[8];
    for (int i = 0; i < 8; ++i) {
        if (!found[i]) continue;
        const VECTOR rd = RAYTR::Reflect(rays[i].direction, RAYTR::InterpolatedNormal(hits[i]));
        bounce[i] = Ray(pw[i] + rd * 1e-3f, rd);
    }
    VECTOR reflected[8];
    EmbreeShade8(bounce, hitValid, depth - 1, reflected);
    for (int i = 0; i < 8; ++i)
        if (found[i]) colour[i] = colour[i] * 0.6f + reflected[i] * 0.4f;
}

// Embree's bare rays of one pixel of the traced frame: the primary ray, and at its hit the
// shadow ray and the mirror bounce (with its own shadow ray at depth 0), queries only. Returns
// the hits (so that nothing is optimised away).
int BareRays(const EmbreeScene& embree, const Ray& ray, const VECTOR& light, int depth) {
    RayHit hit;
    float t = 0.0f;
    if (!embree.Intersect(ray, 0.0f, hit, t)) return 0;
    const VECTOR pw = RAYTR::HitPointInWorld(hit);
    int hits = 1 + (embree.Occluded(pw, light) ? 1 : 0);
    if (depth == 0) return hits;
    const VECTOR rd = RAYTR::Reflect(ray.direction, RAYTR::InterpolatedNormal(hit));
    return hits + BareRays(embree, Ray(pw + rd * 1e-3f, rd), light, depth - 1);
}

// Embree's work split over the same tiles, taken in turn, by the same kind of worker team as ours.
struct EmbreeFrame {
    const ScreenTracer* tracer;
    bool full;
    bool packets = false;  // full trace with rtcIntersect8 / rtcOccluded8
    // Another scene than the demo's (the unseen scenes): its mask by brute force, or for the
    // full trace its bare rays (primary, shadow, bounce, its shadow) without shading.
    const EmbreeScene* other = nullptr;
    const RAYTR::Scene* otherScene = nullptr;
    std::atomic<long> bareHits{0};
    std::vector<std::uint32_t> pixels = std::vector<std::uint32_t>(kSize * kSize);
    std::atomic<int> next{0};

    static void Work(void* self, int) {
        auto* f = static_cast<EmbreeFrame*>(self);
        const auto& tiles = f->tracer->Tiles();
        for (int t = f->next.fetch_add(1); t < static_cast<int>(tiles.size()); t = f->next.fetch_add(1))
            f->Rectangle(tiles[t].rowStart, tiles[t].colStart, tiles[t].rowEnd, tiles[t].colEnd);
    }

    void Rectangle(int r0, int c0, int r1, int c1) {
        const EmbreeScene& embree = other != nullptr ? *other : *shared->embree;
        const VECTOR light = (other != nullptr ? otherScene : shared->scene)->lights[0].position;
        if (full && other != nullptr) {
            long hits = 0;
            for (int r = r0; r < r1; ++r)
                for (int c = c0; c < c1; ++c) hits += BareRays(embree, FullRay(*tracer, r * kSize + c), light, 1);
            bareHits += hits;
            return;
        }
        if (!full) {
            // Brute force: every pixel gets its primary and its shadow ray.
            for (int r = r0; r < r1; ++r)
                for (int c = c0; c < c1; ++c) {
                    RayHit hit;
                    float t;
                    const int p = r * kSize + c;
                    const bool lit = !embree.Intersect(MaskRay(*tracer, p), 0.0f, hit, t) ||
                                     !embree.Occluded(RAYTR::HitPointInWorld(hit), light);
                    pixels[p] = lit ? ScreenTracer::kLit : ScreenTracer::kShadow;
                }
            return;
        }
        auto byte = [](float v) -> std::uint32_t {
            v *= 255.0f;
            return v > 0.0f ? (v >= 255.0f ? 255u : std::uint32_t(v)) : 0u;
        };
        auto store = [&](int p, const VECTOR& colour) {
            pixels[p] = byte(colour.x) | byte(colour.z) << 8 | byte(colour.y) << 16 | 0xFF000000u;
        };
        if (packets) {
            for (int r = r0; r < r1; ++r)
                for (int c = c0; c < c1; c += 8) {
                    Ray rays[8];
                    alignas(32) int valid[8];
                    for (int i = 0; i < 8; ++i) {
                        valid[i] = c + i < c1 ? -1 : 0;
                        if (valid[i]) rays[i] = FullRay(*tracer, r * kSize + c + i);
                    }
                    VECTOR colour[8];
                    EmbreeShade8(rays, valid, 1, colour);
                    for (int i = 0; i < 8 && c + i < c1; ++i) store(r * kSize + c + i, colour[i]);
                }
            return;
        }
        for (int r = r0; r < r1; ++r)
            for (int c = c0; c < c1; ++c) store(r * kSize + c, EmbreeShade(FullRay(*tracer, r * kSize + c), 1));
    }
};

// ---- benchmarks ---------------------------------------------------------------------------

void OurMaskDepth(benchmark::State& state) {
    ScreenTracer& t = Tracer(int(state.range(0)));
    t.useZBuffer = true;
    for (auto _ : state) t.TraceFrame(shared->depth.data());
    t.useZBuffer = false;
}

void OurMaskRays(benchmark::State& state) {
    ScreenTracer& t = Tracer(int(state.range(0)));
    t.useZBuffer = false;
    for (auto _ : state) t.TraceFrame(nullptr);
}

void OurFullTrace(benchmark::State& state) {
    ScreenTracer& t = Tracer(int(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(t.TraceFullFrame());
}

// The one-ray image: exactly the rays Embree's full trace traces (no smoothing pass).
void OurFullTraceOneRay(benchmark::State& state) {
    ScreenTracer& t = Tracer(int(state.range(0)));
    t.smoothTracedImage = false;
    for (auto _ : state) benchmark::DoNotOptimize(t.TraceFullFrame());
    t.smoothTracedImage = true;
}

// One whole hybrid frame as the viewer draws it, the swap included.
void HybridFrame(ScreenTracer& t) {
    shared->render->DrawPreview();
    t.TraceFrame(RAYTR::DepthWords{shared->render->ReadDepthBuffer()});
    t.UploadTexture(0);
    t.BindTexture(0);
    shared->render->DrawOverlay();
    glutSwapBuffers();
}

// The whole hybrid frame as the display runs it, with the software OpenGL of the test machine:
// preview, depth read-back, mask, upload, overlay and the swap.
void OurHybridFrame(benchmark::State& state) {
    ScreenTracer& t = Tracer(int(state.range(0)));
    t.useZBuffer = true;
    for (auto _ : state) HybridFrame(t);
    t.useZBuffer = false;
}

void EmbreeRun(benchmark::State& state, bool full, bool packets = false) {
    const int threads = int(state.range(0));
    EmbreeFrame frame{&Tracer(threads), full, packets};
    if (threads > 1) {
        redowl_bench::WorkerTeam team(threads, &EmbreeFrame::Work, &frame);
        for (auto _ : state) {
            frame.next = 0;
            team.RunFrame();
        }
    } else {
        for (auto _ : state) frame.Rectangle(0, 0, kSize, kSize);
    }
}
void EmbreeMask(benchmark::State& state) { EmbreeRun(state, false); }
void EmbreeFullTrace(benchmark::State& state) { EmbreeRun(state, true); }
void EmbreeFullTrace8(benchmark::State& state) { EmbreeRun(state, true, true); }

// Keeps the mean real time per frame of every run for the summary.
class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> seconds;
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && r.iterations > 0)
                seconds[r.benchmark_name()] = r.real_accumulated_time / double(r.iterations);
    }
};

// ---- the interleaved summary --------------------------------------------------------------

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// Processor time of the whole process (every thread), seconds: unlike the wall clock it hardly
// grows when other programs share the cores.
double ProcessorTime() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

struct Rates {
    double ours = 0.0, peer = 0.0;          // frames per second of wall-clock time
    double oursCpu = 0.0, peerCpu = 0.0;    // frames per second of processor time
};

// Ours and the peer's frames in turns, one peer frame and then our frames for as long, for
// about `seconds` in all.
template <class Ours, class Peer>
Rates Interleaved(const Ours& ours, const Peer& peer, double seconds) {
    ours();
    peer();
    double tOurs = 0.0, tPeer = 0.0, cOurs = 0.0, cPeer = 0.0;
    long nOurs = 0, nPeer = 0;
    while (tOurs + tPeer < seconds) {
        double t = Now(), c = ProcessorTime();
        peer();
        tPeer += Now() - t;
        cPeer += ProcessorTime() - c;
        ++nPeer;
        do {
            t = Now();
            c = ProcessorTime();
            ours();
            tOurs += Now() - t;
            cOurs += ProcessorTime() - c;
            ++nOurs;
        } while (tOurs < tPeer);
    }
    return {nOurs / tOurs, nPeer / tPeer, nOurs / cOurs, nPeer / cPeer};
}


// The same frame without the mask (the last mask uploaded again): what OpenGL alone costs, the
// ceiling of the whole frame's rate on this machine.
void OpenGLAlone(ScreenTracer& t) {
    shared->render->DrawPreview();
    shared->render->ReadDepthBuffer();
    t.UploadTexture(0);
    t.BindTexture(0);
    shared->render->DrawOverlay();
    glutSwapBuffers();
}

std::vector<std::uint32_t> MaskFrom(ScreenTracer& t, const std::vector<float>& depth) {
    t.TraceFrame(depth.data());
    return {t.Buffer(), t.Buffer() + kSize * kSize};
}

// Embree's frame on the tracer's tiles with as many threads, one frame per call.
struct EmbreePeer {
    EmbreeFrame frame;
    std::unique_ptr<redowl_bench::WorkerTeam> team;
    EmbreePeer(const ScreenTracer& t, bool full, int threads) : frame{&t, full} {
        if (threads > 1) team = std::make_unique<redowl_bench::WorkerTeam>(threads, &EmbreeFrame::Work, &frame);
    }
    void Frame() {
        if (team) {
            frame.next = 0;
            team->RunFrame();
        } else {
            frame.Rectangle(0, 0, kSize, kSize);
        }
    }
};

// Three scenes the tracer was not tuned on (a finer knot, a bumpy sphere, scattered boxes, each
// in the knot's place over the demo's floor) at 2 threads: our whole traced frame (one ray a
// pixel, shaded) against Embree's bare rays of the same pixels (primary, shadow, bounce and its
// shadow, no shading), and our mask from the preview's depth against Embree's brute-force mask,
// in turns.
void UnseenScenes() {
    std::printf("\nunseen scenes at %d x %d, 2 threads, in turns: our whole traced frame (one ray a pixel, shaded) "
                "against Embree's bare rays (primary, shadow, bounce and its shadow, not shaded); frames per "
                "second of wall-clock time (and of processor time)\n", kSize, kSize);
    std::printf("scene           | triangles | our traced frame | Embree's bare rays | ratio         | our mask (depth) | "
                "Embree brute-force mask | ratio\n");
    struct Kind {
        const char* name;
        LOAD_3DS::WriterMesh mesh;
    };
    const Kind kinds[] = {{"knot", LOAD_3DS::MakeTorusKnot(900, 40)},
                          {"bumpy sphere", BumpySphere(200, 400)},
                          {"scattered boxes", ScatteredBoxes(3000)}};
    for (const Kind& k : kinds) {
        std::unique_ptr<RAYTR::Scene> scene(MakeDemoScene(&k.mesh));
        ScreenTracer t(kSize, kSize, 2);
        t.AttachScene(scene.get());
        t.TraceFrame(nullptr);  // camera matrices for Embree's rays
        t.smoothTracedImage = false;
        EmbreeScene embree(*scene);
        EmbreeFrame frame{&t, true};
        frame.other = &embree;
        frame.otherScene = scene.get();
        redowl_bench::WorkerTeam team(2, &EmbreeFrame::Work, &frame);
        const auto peer = [&] {
            frame.next = 0;
            team.RunFrame();
        };
        const Rates r = Interleaved([&] { t.TraceFullFrame(); }, peer, 8.0);
        // The mask from the preview's depth, as the viewer traces it.
        Renderer render(kSize, kSize);
        render.AttachScene(scene.get());
        render.DrawPreview();
        const std::uint32_t* words = render.ReadDepthBuffer();
        std::vector<float> depth(static_cast<std::size_t>(kSize) * kSize);
        for (std::size_t p = 0; p < depth.size(); ++p) depth[p] = RAYTR::DepthFromWord(words[p]);
        frame.full = false;
        t.useZBuffer = true;
        const Rates m = Interleaved([&] { t.TraceFrame(depth.data()); }, peer, 6.0);
        std::printf("%-15s | %9zu | %8.2f (%6.2f) | %10.2f (%6.2f) | %5.2f (%5.2f) | %6.1f (%6.1f) | %13.1f (%6.1f) | "
                    "%5.2f (%5.2f)\n",
                    k.name, k.mesh.faces.size(), r.ours, r.oursCpu, r.peer, r.peerCpu, r.ours / r.peer, r.oursCpu / r.peerCpu,
                    m.ours, m.oursCpu, m.peer, m.peerCpu, m.ours / m.peer, m.oursCpu / m.peerCpu);
    }
}

// The whole hybrid frame of the demo with its traced models in their own materials (the knot a
// glossy red plastic that reflects the sky, the floor its texture with a faint highlight, a sky
// light), the preview shaded per pixel against the same frame drawn fixed-function, in turns.
void OwnMaterials() {
    std::unique_ptr<RAYTR::Scene> scene(MakeDemoScene());
    for (unsigned i : {0u, 2u}) {
        RAYTR::TObject& object = scene->objects[i];
        ORVA_GRAPHICS::Material m = object.materials[0];
        m.described = true;
        if (i == 0) {
            m.image = nullptr;
            m.texture = -1;
            m.diffuse[0] = 0.8f, m.diffuse[1] = 0.1f, m.diffuse[2] = 0.1f;
            m.roughness = 0.35f;
            m.reflectsScene = true;
        }
        object.materials.assign(1, m);
        object.batches = {{0, 0, object.triangleCount}};
    }
    RAYTR::PrepareLighting(*scene, 0.6f);
    Renderer render(kSize, kSize);
    render.AttachScene(scene.get());
    ScreenTracer t(kSize, kSize, 2);
    t.AttachScene(scene.get());
    t.useZBuffer = true;
    const auto frame = [&](bool shaded) {
        render.shadeMaterials = shaded;
        render.DrawPreview();
        t.TraceFrame(RAYTR::DepthWords{render.ReadDepthBuffer()});
        t.UploadTexture(0);
        t.BindTexture(0);
        render.DrawOverlay();
        glutSwapBuffers();
    };
    const Rates r = Interleaved([&] { frame(true); }, [&] { frame(false); }, 10.0);
    std::printf("\nthe demo in its own materials at %d x %d, 2 threads, in turns; whole hybrid frames per second of "
                "wall-clock time (and of processor time): preview shaded per pixel %.1f (%.1f), fixed-function %.1f "
                "(%.1f) -> ratio %.2f (%.2f)%s\n",
                kSize, kSize, r.ours, r.oursCpu, r.peer, r.peerCpu, r.ours / r.peer, r.oursCpu / r.peerCpu,
                render.ShadedReady() ? "" : " (no shaders: both fixed-function)");
}

// What the interleaved summary measures: "all", "traced" (only the traced frames beside
// Embree's), "unseen" (only the unseen scenes) or "none" (--summary=WHICH on the command line;
// all by default).
void Summary(const std::string& which) {
    if (which == "none") return;
    if (which == "unseen") return UnseenScenes();
    if (which == "shaded") return OwnMaterials();
    double load[3] = {0.0, 0.0, 0.0};
    if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3) load[0] = -1.0;
        std::fclose(f);
    }
    const bool all = which != "traced";
    std::printf("\ninterleaved with Embree at %d x %d, load average %.2f %.2f %.2f; frames per second of wall-clock time\n"
                "(and, in brackets, of the process's processor time, which other programs on the machine hardly change)\n",
                kSize, kSize, load[0], load[1], load[2]);
    if (all) std::printf("threads | our mask (depth) | Embree brute-force mask | ratio        | whole hybrid frame, software GL | frame / Embree mask\n");
    Rates glAlone;
    for (int threads : {1, 2, 4}) {
        if (!all) break;
        ScreenTracer& t = Tracer(threads);
        EmbreePeer embree(t, false, threads);
        const auto peer = [&] { embree.Frame(); };
        t.useZBuffer = true;
        const auto mask = Interleaved([&] { t.TraceFrame(shared->depth.data()); }, peer, 6.0);
        const auto frame = Interleaved([&] { HybridFrame(t); }, peer, 6.0);
        t.useZBuffer = false;
        if (threads == 1) glAlone = Interleaved([&] { OpenGLAlone(t); }, peer, 6.0);
        std::printf("%7d | %6.1f (%6.1f) | %11.1f (%6.1f) | %5.2f (%5.2f) | %20.1f (%6.1f) | %5.2f\n", threads, mask.ours,
                    mask.oursCpu, mask.peer, mask.peerCpu, mask.ours / mask.peer, mask.oursCpu / mask.peerCpu, frame.ours,
                    frame.oursCpu, frame.ours / frame.peer);
    }

    if (all) std::printf("the same frame without tracing (OpenGL alone): %.1f (%.1f)\n", glAlone.ours, glAlone.oursCpu);

    // The traced image beside Embree's single-ray trace of the same rays, in turns: our one-ray
    // frame (exactly Embree's rays), and the viewer's frame with its smoothing pass.
    std::printf("\nthreads | our one-ray traced frame | Embree single rays | ratio        | our viewer's traced frame (smoothing) | ratio\n");
    for (int threads : {1, 2}) {
        ScreenTracer& t = Tracer(threads);
        EmbreePeer embree(t, true, threads);
        const auto peer = [&] { embree.Frame(); };
        t.smoothTracedImage = false;
        const auto oneRay = Interleaved([&] { t.TraceFullFrame(); }, peer, 8.0);
        t.smoothTracedImage = true;
        const auto viewer = Interleaved([&] { t.TraceFullFrame(); }, peer, 8.0);
        std::printf("%7d | %12.2f (%6.2f) | %9.2f (%6.2f) | %5.2f (%5.2f) | %26.2f (%6.2f) | %5.2f (%5.2f)\n", threads,
                    oneRay.ours, oneRay.oursCpu, oneRay.peer, oneRay.peerCpu, oneRay.ours / oneRay.peer,
                    oneRay.oursCpu / oneRay.peerCpu, viewer.ours, viewer.oursCpu, viewer.ours / viewer.peer,
                    viewer.oursCpu / viewer.peerCpu);
    }


    if (!all) return;
    UnseenScenes();
    // The depth read-back: each format the driver offers, after the preview is finished.
    std::printf("\ndepth read-back of %d x %d after glFinish (ms per read) and the mask from it against GL_FLOAT's\n",
                kSize, kSize);
    shared->render->DrawPreview();
    glFinish();
    GLint depthBits = 0, stencilBits = 0;
    glGetIntegerv(GL_DEPTH_BITS, &depthBits);
    glGetIntegerv(GL_STENCIL_BITS, &stencilBits);
    std::printf("framebuffer: %d depth bits, %d stencil bits\n", int(depthBits), int(stencilBits));
    const auto n = static_cast<std::size_t>(kSize * kSize);
    std::vector<float> floats(n), converted(n);
    std::vector<std::uint32_t> words(n);
    std::vector<std::uint16_t> shorts(n);
    const auto timeRead = [&](GLenum format, GLenum type, void* into) {
        glReadPixels(0, 0, kSize, kSize, format, type, into);
        const double t0 = Now();
        for (int i = 0; i < 50; ++i) glReadPixels(0, 0, kSize, kSize, format, type, into);
        return (Now() - t0) / 50.0 * 1000.0;
    };
    ScreenTracer& t = Tracer(1);
    t.useZBuffer = true;
    const double msFloat = timeRead(GL_DEPTH_COMPONENT, GL_FLOAT, floats.data());
    const std::vector<std::uint32_t> reference = MaskFrom(t, floats);
    const auto agree = [&](const std::vector<std::uint32_t>& m) {
        long same = 0;
        for (std::size_t p = 0; p < n; ++p) same += m[p] == reference[p];
        return 100.0 * double(same) / double(n);
    };
    std::printf("GL_DEPTH_COMPONENT, GL_FLOAT:          %.3f ms, the reference mask\n", msFloat);
    const double msUint = timeRead(GL_DEPTH_COMPONENT, GL_UNSIGNED_INT, words.data());
    for (std::size_t p = 0; p < n; ++p) converted[p] = RAYTR::DepthFromWord(words[p]);
    std::printf("GL_DEPTH_COMPONENT, GL_UNSIGNED_INT:   %.3f ms, mask agrees on %.3f%% (used)\n", msUint,
                agree(MaskFrom(t, converted)));
    if (stencilBits > 0) {
        const double ms248 = timeRead(GL_DEPTH_STENCIL, GL_UNSIGNED_INT_24_8, words.data());
        for (std::size_t p = 0; p < n; ++p) converted[p] = static_cast<float>((words[p] >> 8) * (1.0 / 16777215.0));
        std::printf("GL_DEPTH_STENCIL, GL_UNSIGNED_INT_24_8: %.3f ms, mask agrees on %.3f%%\n", ms248,
                    agree(MaskFrom(t, converted)));
    } else {
        std::printf("GL_DEPTH_STENCIL, GL_UNSIGNED_INT_24_8: not offered (no stencil buffer in this visual)\n");
    }
    const double msShort = timeRead(GL_DEPTH_COMPONENT, GL_UNSIGNED_SHORT, shorts.data());
    for (std::size_t p = 0; p < n; ++p) converted[p] = static_cast<float>(shorts[p] * (1.0 / 65535.0));
    std::printf("GL_DEPTH_COMPONENT, GL_UNSIGNED_SHORT: %.3f ms, mask agrees on %.3f%%\n", msShort,
                agree(MaskFrom(t, converted)));
    t.useZBuffer = false;
}

bool MakeContext(int argc, char** argv) {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return false;
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    glutInitWindowSize(kSize, kSize);
    glutCreateWindow("frame_bench");
    glutDisplayFunc([] {});
    for (int i = 0; i < 10; ++i) glutMainLoopEvent();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string summary = "all";
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]).rfind("--summary=", 0) == 0) {
            summary = argv[i] + 10;
            for (int k = i; k + 1 < argc; ++k) argv[k] = argv[k + 1];
            --argc;
            break;
        }
    if (!MakeContext(argc, argv)) {
        std::fprintf(stderr, "frame_bench: needs an X display for the OpenGL context (try Xvfb)\n");
        return 1;
    }
    Shared s;
    shared = &s;
    s.scene = MakeDemoScene();
    s.render = std::make_unique<Renderer>(kSize, kSize);
    s.render->AttachScene(s.scene);
    s.render->DrawPreview();
    const std::uint32_t* depth = s.render->ReadDepthBuffer();
    s.depth.resize(kSize * kSize);
    for (int p = 0; p < kSize * kSize; ++p) s.depth[p] = RAYTR::DepthFromWord(depth[p]);
    s.embree = std::make_unique<EmbreeScene>(*s.scene);

    for (int threads : {1, 2, 4}) {
        auto reg = [&](const char* name, void (*fn)(benchmark::State&)) {
            benchmark::RegisterBenchmark(name, fn)->Arg(threads)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
        };
        reg("our_mask_depth", OurMaskDepth);
        reg("our_mask_rays", OurMaskRays);
        reg("embree_mask_brute_force", EmbreeMask);
        reg("our_full_trace", OurFullTrace);
        reg("our_full_trace_one_ray", OurFullTraceOneRay);
        reg("embree_full_trace", EmbreeFullTrace);
        reg("embree_full_trace_packets8", EmbreeFullTrace8);
        reg("our_hybrid_frame_with_gl", OurHybridFrame);
    }
    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);

    // Frames per second, ours beside Embree's, and the ratios.
    auto fps = [&](const std::string& name, int threads) {
        auto it = collector.seconds.find(name + "/" + std::to_string(threads) + "/min_time:1.000/real_time");
        return it == collector.seconds.end() || it->second <= 0.0 ? 0.0 : 1.0 / it->second;
    };
    std::printf("\nframes per second at %d x %d (demo scene, first-frame light)\n", kSize, kSize);
    for (int threads : {1, 2, 4}) {
        const double md = fps("our_mask_depth", threads), mr = fps("our_mask_rays", threads);
        const double em = fps("embree_mask_brute_force", threads);
        const double ft = fps("our_full_trace", threads), ef = fps("embree_full_trace", threads);
        const double e8 = fps("embree_full_trace_packets8", threads);
        const double f1 = fps("our_full_trace_one_ray", threads);
        const double hf = fps("our_hybrid_frame_with_gl", threads);
        std::printf("%d thread(s): mask with depth %.1f, mask with rays %.1f, Embree brute-force mask %.1f "
                    "-> ratio %.2f (depth) %.2f (rays)\n",
                    threads, md, mr, em, em > 0 ? md / em : 0.0, em > 0 ? mr / em : 0.0);
        std::printf("%d thread(s): full trace %.2f, Embree full trace %.2f (rtcIntersect1/rtcOccluded1) -> ratio "
                    "%.2f, Embree with 8-ray packets %.2f (rtcIntersect8/rtcOccluded8) -> ratio %.2f; whole hybrid "
                    "frame with software GL %.1f\n",
                    threads, ft, ef, ef > 0 ? ft / ef : 0.0, e8, e8 > 0 ? ft / e8 : 0.0, hf);
        std::printf("%d thread(s): one-ray full trace (Embree's rays exactly, no smoothing pass) %.2f -> ratio %.2f "
                    "to Embree's single rays, %.2f to its 8-ray packets\n",
                    threads, f1, ef > 0 ? f1 / ef : 0.0, e8 > 0 ? f1 / e8 : 0.0);
    }
    Summary(summary);
    s.tracers.clear();
    s.embree.reset();
    s.render.reset();
    return 0;
}
