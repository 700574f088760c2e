// Loading hostile geometry in bounded time: 3DS files of 65,535 vertices built to defeat the
// position matching of the smooth normals.
//   coincident  every position the same point (one sum over every face)
//   shared      a fan of 65,534 faces that all have vertex 0 as a corner
//   cube        65,535 distinct positions spread inside a cube of side 0.0002, so that each
//               vertex is within 0.0001 of a large share of all the others
// Our MESH::LoadFrom3DS (read, parse, smooth normals, mesh arrays) beside lib3ds 1.3 loading the
// same file and computing its own (smoothing-group) normals. Prints our figure, the peer's and
// the ratio for each file.

#include <benchmark/benchmark.h>
#include <lib3ds/file.h>
#include <lib3ds/mesh.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "errors/errors.h"
#include "errors/message_box.h"
#include "loaders/l3ds_writer.h"
#include "mesh/mesh.h"

namespace {

using namespace LOAD_3DS;

constexpr int kVertices = 65535;

WriterMesh Coincident() {
    WriterMesh m;
    m.name = "Coincident";
    m.vertices.assign(kVertices, LPoint3{1.0f, 2.0f, 3.0f});
    for (int i = 0; i < kVertices; ++i) m.faces.push_back({i, (i + 1) % kVertices, (i + 2) % kVertices});
    return m;
}

WriterMesh SharedCorner() {
    WriterMesh m;
    m.name = "Fan";
    m.vertices.push_back({0.0f, 0.0f, 0.0f});
    // The rim: a circle of radius 10, neighbours about 0.001 apart.
    for (int i = 1; i < kVertices; ++i) {
        const double t = 2.0 * 3.14159265358979 * double(i) / double(kVertices);
        m.vertices.push_back({float(10.0 * std::cos(t)), float(10.0 * std::sin(t)), 0.0f});
    }
    for (int i = 1; i + 1 < kVertices; ++i) m.faces.push_back({0, i, i + 1});
    return m;
}

WriterMesh Cube() {
    WriterMesh m;
    m.name = "Cube";
    std::uint32_t state = 12345u;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return float(state >> 8) / float(1u << 24);  // [0, 1)
    };
    for (int i = 0; i < kVertices; ++i) {
        const float x = next(), y = next(), z = next();
        m.vertices.push_back({1.0f + 0.0002f * x, 1.0f + 0.0002f * y, 1.0f + 0.0002f * z});
    }
    for (int i = 0; i + 2 < kVertices; ++i) m.faces.push_back({i, i + 1, i + 2});
    return m;
}

struct Files {
    std::map<std::string, std::string> paths;
    Files() {
        const auto dir = std::filesystem::temp_directory_path();
        const std::pair<const char*, WriterMesh> meshes[] = {
            {"coincident", Coincident()}, {"shared", SharedCorner()}, {"cube", Cube()}};
        for (const auto& [name, mesh] : meshes) {
            const std::string path = (dir / ("redowl_hostile_" + std::string(name) + ".3ds")).string();
            if (!Write3DS(path, {mesh})) {
                std::fprintf(stderr, "cannot write %s\n", path.c_str());
                std::exit(1);
            }
            paths[name] = path;
        }
    }
    ~Files() {
        for (const auto& [name, path] : paths) std::remove(path.c_str());
    }
};

Files& Shared() {
    static Files files;
    return files;
}

void RedOwlLoad(benchmark::State& state, const std::string& name) {
    const std::string& path = Shared().paths.at(name);
    TIRN_ERROR::BoxRecorder recorder;  // a refusal would show a box: record it instead
    for (auto _ : state) {
        Mesh mesh;
        try {
            mesh.LoadFrom3DS(path);
        } catch (const TIRN_ERROR::Error&) {
            state.SkipWithError("the hostile file was refused");
            return;
        }
        benchmark::DoNotOptimize(mesh.vertices[0].normal.x);
    }
}

void Lib3dsLoad(benchmark::State& state, const std::string& name) {
    const std::string& path = Shared().paths.at(name);
    for (auto _ : state) {
        Lib3dsFile* f = lib3ds_file_load(path.c_str());
        if (!f || !f->meshes) {
            state.SkipWithError("lib3ds load failed");
            return;
        }
        std::vector<Lib3dsVector> normals(3 * std::size_t(f->meshes->faces));
        lib3ds_mesh_calculate_normals(f->meshes, normals.data());
        benchmark::DoNotOptimize(normals.data());
        lib3ds_file_free(f);
    }
}

class Recorder : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                times[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;  // milliseconds
};

const char* const kCases[] = {"coincident", "shared", "cube"};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    for (const char* name : kCases) {
        const std::string n = name;
        benchmark::RegisterBenchmark(("RedOwlLoad/" + n).c_str(), [n](benchmark::State& s) { RedOwlLoad(s, n); })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("Lib3dsLoad/" + n).c_str(), [n](benchmark::State& s) { Lib3dsLoad(s, n); })
            ->Unit(benchmark::kMillisecond);
    }
    Shared();
    Recorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    for (const char* name : kCases) {
        const auto a = recorder.times.find(std::string("RedOwlLoad/") + name);
        const auto b = recorder.times.find(std::string("Lib3dsLoad/") + name);
        if (a == recorder.times.end() || b == recorder.times.end() || b->second <= 0.0) {
            std::printf("hostile 3DS load, %s: no figure (a run failed)\n", name);
            continue;
        }
        std::printf("hostile 3DS load, %s, %d vertices: Red Owl %.2f ms, lib3ds %.2f ms: ratio %.3f\n", name,
                    kVertices, a->second, b->second, a->second / b->second);
    }
    benchmark::Shutdown();
    return 0;
}
