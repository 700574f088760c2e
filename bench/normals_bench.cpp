// Smooth normals and 3DS loading of a 65,535-vertex model: a triangle soup cut from the demo's
// torus knot (21,845 triangles, every position shared by about six vertices), as exporters that
// do not weld vertices write it. Our reader and its bucketed normals beside lib3ds 1.3 loading the
// same file and computing its own (smoothing-group) normals, and beside the quadratic
// definition on a smaller soup. Prints our figures, the peer's and the ratios.

#include <benchmark/benchmark.h>
#include <lib3ds/file.h>
#include <lib3ds/mesh.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "loaders/demo_scene.h"
#include "loaders/l3ds.h"
#include "loaders/l3ds_writer.h"
#include "loaders/normals.h"
#include "bench/recorder.h"
#include "errors/message_box.h"
#include "grid/regular_grid.h"
#include "mesh/mesh.h"
#include "raytracer/tobject.h"

namespace {

using namespace LOAD_3DS;

// The first `triangles` faces of the knot, each with three vertices of its own.
WriterMesh Soup(int triangles) {
    const WriterMesh knot = MakeTorusKnot(330, 34);
    WriterMesh soup;
    soup.name = "Soup";
    for (int f = 0; f < triangles; ++f) {
        const LFace& face = knot.faces[std::size_t(f)];
        for (int corner : {face.a, face.b, face.c}) {
            soup.vertices.push_back(knot.vertices[std::size_t(corner)]);
            soup.uvs.push_back(knot.uvs[std::size_t(corner)]);
        }
        soup.faces.push_back({3 * f, 3 * f + 1, 3 * f + 2});
    }
    return soup;
}

// The definition as written: every vertex against every vertex, every face for each match.
std::vector<LPoint3> Definition(const std::vector<LPoint3>& v, const std::vector<LFace>& faces) {
    std::vector<LPoint3> out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
        LPoint3 sum{0, 0, 0};
        for (std::size_t j = 0; j < v.size(); ++j) {
            if (!(NearOnAxis(v[j].x, v[i].x) && NearOnAxis(v[j].y, v[i].y) && NearOnAxis(v[j].z, v[i].z))) continue;
            for (const LFace& f : faces)
                if (f.a == int(j) || f.b == int(j) || f.c == int(j)) sum = Add(sum, FaceNormal(v, f));
        }
        out[i] = Normalise(sum);
    }
    return out;
}

struct Setup {
    std::string file;
    WriterMesh big = Soup(21845);
    WriterMesh small = Soup(1365);  // 4,095 vertices
    Setup() {
        file = (std::filesystem::temp_directory_path() /
                ("redowl_normals_bench_" + std::to_string(::getpid()) + ".3ds")).string();
        if (!Write3DS(file, {big})) {
            std::fprintf(stderr, "cannot write %s\n", file.c_str());
            std::exit(1);
        }
    }
};

const Setup& Shared() {
    static Setup s;
    return s;
}

void BM_RedOwlLoad65535(benchmark::State& state) {
    const Setup& s = Shared();
    for (auto _ : state) {
        L3DS reader;
        if (!reader.LoadFromFile(s.file)) state.SkipWithError("load failed");
        benchmark::DoNotOptimize(reader.GetMesh(0)->GetNormal(0));
    }
}

void BM_RedOwlMeshLoad65535(benchmark::State& state) {
    const Setup& s = Shared();
    for (auto _ : state) {
        Mesh m;
        m.LoadFrom3DS(s.file);
        benchmark::DoNotOptimize(m.vertices[0].normal.x);
    }
}

// What the viewer does with a model at assembly: load it (normals included) and build its grid,
// at the demo's build factor, on the machine's threads; wall time.
void BM_RedOwlLoadAndGrid65535(benchmark::State& state, int algorithm) {
    const Setup& s = Shared();
    for (auto _ : state) {
        RAYTR::TObject object;
        object.LoadFrom3DS(s.file);
        object.gridSettings.algorithm = algorithm;
        object.gridSettings.factor = 0.75f;
        object.PrepareForTracing();
        benchmark::DoNotOptimize(object.grid);
    }
}

void BM_Lib3dsLoad65535(benchmark::State& state) {
    const Setup& s = Shared();
    for (auto _ : state) {
        Lib3dsFile* f = lib3ds_file_load(s.file.c_str());
        if (!f) state.SkipWithError("lib3ds load failed");
        lib3ds_file_free(f);
    }
}

void BM_RedOwlNormals65535(benchmark::State& state) {
    const Setup& s = Shared();
    for (auto _ : state) benchmark::DoNotOptimize(SmoothNormals(s.big.vertices, s.big.faces).data());
}

void BM_Lib3dsNormals65535(benchmark::State& state) {
    const Setup& s = Shared();
    Lib3dsFile* f = lib3ds_file_load(s.file.c_str());
    if (!f || !f->meshes) {
        state.SkipWithError("lib3ds load failed");
        return;
    }
    std::vector<Lib3dsVector> normals(3 * f->meshes->faces);
    for (auto _ : state) {
        lib3ds_mesh_calculate_normals(f->meshes, normals.data());
        benchmark::DoNotOptimize(normals.data());
    }
    lib3ds_file_free(f);
}

void BM_RedOwlNormals4095(benchmark::State& state) {
    const Setup& s = Shared();
    for (auto _ : state) benchmark::DoNotOptimize(SmoothNormals(s.small.vertices, s.small.faces).data());
}

void BM_Definition4095(benchmark::State& state) {
    const Setup& s = Shared();
    for (auto _ : state) benchmark::DoNotOptimize(Definition(s.small.vertices, s.small.faces).data());
}

BENCHMARK(BM_RedOwlLoad65535)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RedOwlMeshLoad65535)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lib3dsLoad65535)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RedOwlNormals65535)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lib3dsNormals65535)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RedOwlLoadAndGrid65535, fast, RAYTR::kFastAlgorithm)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_RedOwlLoadAndGrid65535, accurate, RAYTR::kAccuracyAlgorithm)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RedOwlNormals4095)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Definition4095)->Unit(benchmark::kMillisecond);

using redowl_bench::Recorder;

void Compare(const Recorder& r, const char* label, const char* ours, const char* peerLabel, const char* peer) {
    const auto a = r.times.find(ours);
    const auto b = r.times.find(peer);
    if (a == r.times.end() || b == r.times.end() || b->second <= 0.0) return;
    std::printf("%s: Red Owl %.2f ms, %s %.2f ms: ratio %.3f\n", label, a->second, peerLabel, b->second,
                a->second / b->second);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // Build titles go nowhere without a window; a memory warning is printed, not shown.
    TIRN_ERROR::SetBoxSink([](const std::string& caption, const std::string& text) {
        std::fprintf(stderr, "%s %s\n", caption.c_str(), text.c_str());
    });
    const Setup& s = Shared();
    std::printf("soup of %zu vertices and %zu faces in %s\n", s.big.vertices.size(), s.big.faces.size(), s.file.c_str());
    Recorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    Compare(recorder, "3DS load, 65535 vertices", "BM_RedOwlLoad65535", "lib3ds", "BM_Lib3dsLoad65535");
    Compare(recorder, "smooth normals, 65535 vertices", "BM_RedOwlNormals65535", "lib3ds", "BM_Lib3dsNormals65535");
    Compare(recorder, "smooth normals, 4095 vertices", "BM_RedOwlNormals4095", "quadratic definition",
            "BM_Definition4095");
    for (const char* which : {"fast", "accurate"}) {
        const auto at = recorder.times.find(std::string("BM_RedOwlLoadAndGrid65535/") + which + "/real_time");
        if (at != recorder.times.end())
            std::printf("load, normals and %s grid, 65535 vertices: %.2f ms in all (target: under 100 ms)\n", which,
                        at->second);
    }
    benchmark::Shutdown();
    std::remove(s.file.c_str());
    return 0;
}
