// A model of 2,000,000 triangles (the demo's knot finely subdivided, a 38 MB binary PLY made by
// loaders/ply_writer.h in the build folder): assimp's own import of the file beside ours, our
// whole load (import, vertices, smooth normals, the mesh), the normals alone and the grid build.
// Prints our load beside assimp's import and the ratio, and the memory of the loaded model and
// its grid beside the mesh's own arrays.
//   big_model_bench [--benchmark_filter=...]

#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "bench/recorder.h"
#include "errors/message_box.h"
#include "grid/regular_grid.h"
#include "loaders/import.h"
#include "loaders/model_scene.h"
#include "loaders/normals.h"
#include "loaders/ply_writer.h"
#include "mesh/model_load.h"
#include "raytracer/tobject.h"

namespace {

const std::string& File() {
    static const std::string file = [] {
        LOAD_3DS::SetImportHelper(REDOWL_IMPORT_HELPER);  // built in the top folder, not beside the benchmarks
        const std::string path = REDOWL_BINARY_DIR "/big_knot.ply";
        if (!std::filesystem::exists(path) && !LOAD_3DS::WritePLY(path, LOAD_3DS::MakeBigKnot())) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            std::exit(1);
        }
        return path;
    }();
    return file;
}

// Resident and peak resident memory of the process, in MiB.
double Memory(const char* field) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field, 0) == 0) return std::stod(line.substr(std::string(field).size())) / 1024.0;
    return 0.0;
}

// The grid factor the scene writer chooses for the model.
float SceneFactor() {
    static const float factor = [] {
        LOAD_3DS::ModelMeasure measure;
        return LOAD_3DS::MeasureModel(File(), measure, nullptr) ? LOAD_3DS::GridFactorFor(measure) : 0.75f;
    }();
    return factor;
}

// assimp's own import: triangulated, node transforms applied, points and lines sorted out.
void BM_AssimpImport(benchmark::State& state) {
    for (auto _ : state) {
        Assimp::Importer importer;
        const aiScene* scene =
            importer.ReadFile(File(), aiProcess_Triangulate | aiProcess_SortByPType | aiProcess_PreTransformVertices);
        if (!scene || scene->mNumMeshes == 0) state.SkipWithError("assimp could not import the file");
        benchmark::DoNotOptimize(scene);
    }
}
// The same with assimp's own vertex joining.
void BM_AssimpImportJoined(benchmark::State& state) {
    for (auto _ : state) {
        Assimp::Importer importer;
        const aiScene* scene = importer.ReadFile(File(), aiProcess_Triangulate | aiProcess_SortByPType |
                                                             aiProcess_PreTransformVertices | aiProcess_JoinIdenticalVertices);
        benchmark::DoNotOptimize(scene);
    }
}
// Our import alone: assimp's reader and our walk of its meshes into one triangle list.
void BM_RedOwlImport(benchmark::State& state) {
    for (auto _ : state) {
        LOAD_3DS::ImportedModel model;
        std::string error;
        if (!LOAD_3DS::ImportModel(File(), model, &error)) state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(model.faces.data());
    }
}
// The viewer's whole load of the file: import, smooth normals, the mesh's arrays.
void BM_RedOwlLoad(benchmark::State& state) {
    for (auto _ : state) {
        Mesh mesh;
        ORVA_GRAPHICS::LoadModel(mesh, File(), {});
        benchmark::DoNotOptimize(mesh.vertices);
    }
}
void BM_RedOwlNormals(benchmark::State& state) {
    LOAD_3DS::ImportedModel model;
    std::string error;
    LOAD_3DS::ImportModel(File(), model, &error);
    for (auto _ : state) benchmark::DoNotOptimize(LOAD_3DS::SmoothNormals(model.positions, model.faces).data());
}
void BM_RedOwlGrid(benchmark::State& state) {
    RAYTR::TObject object;
    ORVA_GRAPHICS::LoadModel(object, File(), {});
    object.gridSettings.factor = SceneFactor();
    for (auto _ : state) {
        object.SetGridAlgorithm(RAYTR::kAccuracyAlgorithm);
        object.PrepareForTracing();
    }
}
BENCHMARK(BM_AssimpImport)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_AssimpImportJoined)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_RedOwlImport)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_RedOwlLoad)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_RedOwlNormals)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_RedOwlGrid)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

using redowl_bench::Recorder;

double Time(const Recorder& r, const std::string& name) {
    const auto it = r.times.find(name + "/iterations:" + (name.find("Joined") != std::string::npos || name.find("Grid") != std::string::npos ? "2" : "3") + "/real_time");
    return it == r.times.end() ? 0.0 : it->second;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    TIRN_ERROR::SetBoxSink([](const std::string& caption, const std::string& text) {
        std::fprintf(stderr, "%s %s\n", caption.c_str(), text.c_str());
    });
    std::printf("model: %s, %.1f MB\n", File().c_str(), double(std::filesystem::file_size(File())) / 1e6);
    // Memory: the loaded model with its grid, beside the mesh's own arrays.
    const float factor = SceneFactor();  // measured first: its memory is not the model's
    const double before = Memory("VmRSS:");
    {
        RAYTR::TObject object;
        ORVA_GRAPHICS::LoadModel(object, File(), {});
        object.gridSettings.factor = factor;
        object.SetGridAlgorithm(RAYTR::kAccuracyAlgorithm);
        object.PrepareForTracing();
        const double mesh = (double(object.vertexCount) * sizeof(ORVA_GRAPHICS::VERTEX) +
                             double(object.indexCount) * sizeof(unsigned) +
                             double(object.triangleCount) * sizeof(ORVA_GRAPHICS::Triangle)) /
                            (1024.0 * 1024.0);
        const double grid = double(object.grid->MemoryBytes()) / (1024.0 * 1024.0);
        std::printf("memory: resident %.0f MiB more with the model loaded and its grid built at the scene's factor "
                    "%.2g (peak %.0f MiB in all); the mesh's arrays %.0f MiB, its grid %.0f MiB\n",
                    Memory("VmRSS:") - before, double(factor), Memory("VmHWM:"), mesh, grid);
    }
    Recorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    const double assimp = Time(recorder, "BM_AssimpImport"), ours = Time(recorder, "BM_RedOwlLoad");
    if (assimp > 0.0 && ours > 0.0)
        std::printf("load with normals: Red Owl %.0f ms, assimp's import alone %.0f ms: ratio %.2f\n", ours, assimp,
                    ours / assimp);

    benchmark::Shutdown();
    return 0;
}
