#pragma once
// A scene folder around one model of the user's, of any format the viewer reads: the model
// copied into data/ with the files it needs (its MTL, its textures, its buffers), the demo's
// floor, sky and textures, and a release.cgf that fits the model to the view, turns it z-up to
// y-up (unless it is drawn y-up), keeps all its meshes, its own normals and its own materials,
// and stands it on the floor.

#include <string>
#include <utility>
#include <vector>

namespace LOAD_3DS {

// Size of the model's largest side in the written scene, in units (the camera, 15 units away,
// sees about 12 units across at the model's distance).
inline constexpr float kModelFit = 6.0f;

// What the writer measured of a model: its box in the file's coordinates, its triangle count
// over all meshes, and the other files it reads (with their paths as found).
struct ModelMeasure {
    float lo[3] = {0.0f, 0.0f, 0.0f};
    float hi[3] = {0.0f, 0.0f, 0.0f};
    long long triangles = 0;
    double firstEdges = 0.0;  // sum of the lengths of every face's first edge (corners a, b)
    int meshes = 0;
    std::vector<std::string> companions;  // MTL files, buffers, textures found inside its folder
    // The format itself says y is up (OBJ, glTF, FBX, Collada, ... as assimp gives them); 3DS,
    // STL and PLY files say nothing, and their box decides (IsZUp).
    bool yUpFormat = false;
};

// Reads the model's meshes; false with the viewer's message ("Can not load ", "There are no
// meshes in ", "There are no vertices in ", "There are no triangles in " followed by the file
// name) in *error. keep: the model read is kept for the viewer's load that follows (see
// KeepImported), so that a large file is read once.
bool MeasureModel(const std::string& file, ModelMeasure& measure, std::string* error, bool keep = false);

// Whether the model is drawn z-up (the 3DS convention) rather than y-up: z unless the model
// rests on the plane y = 0 (its lowest y within 2% of its largest side from 0) and not on z = 0,
// as files exported from y-up programs do.
bool IsZUp(const ModelMeasure& measure);

// The grid build factor ("tracer.regular_grid.cub_less_elem_times") for a scene whose model has
// this many triangles (the floor's 1,800 come on top).
float GridFactorFor(long long triangles);
// The same for a measured model, lowered where the model's grid would ask for more than
// kSceneGridCells cells (a model of millions of triangles): fewer, fuller cells build faster,
// take less memory and stay clear of the grid's memory warning.
float GridFactorFor(const ModelMeasure& measure);
inline constexpr double kSceneGridCells = 4194304.0;

// The release.cgf of a model scene: model 0 is dataName (a path relative to the folder), placed
// with the given offset.
std::string ModelConfiguration(const std::string& dataName, bool zUp, const float offset[3], float gridFactor);
// The same for a measured model: up axis, offset (bottom on the floor, front at z = 0) and grid
// factor from the measure. This is the text the writer writes and the viewer reads in memory
// when it opens a model file directly.
std::string ModelSceneConfiguration(const std::string& dataName, const ModelMeasure& measure);

// The files of the scene's surroundings (data/texture1.bmp, data/SKY.bmp, data/sky.3ds,
// data/floor.3ds) with their bytes.
std::vector<std::pair<std::string, std::vector<unsigned char>>> SurroundingFiles();

// Writes dir/release.cgf (unless keepConfiguration and it exists), dir/data/texture1.bmp,
// dir/data/SKY.bmp, dir/data/sky.3ds, dir/data/floor.3ds and a copy of the model in dir/data/
// (blanks in its name become underscores, since values are single words), with its companion
// files at the same places relative to it (only files inside the model's folder are taken; a
// file named like one of the surroundings' is not copied). Writes nothing outside dir and
// follows no symbolic link below it (see WriteBytesInside). False with a one-line reason in
// *error.
bool WriteModelScene(const std::string& modelFile, const std::string& dir, bool keepConfiguration,
                     std::string* error = nullptr);

}  // namespace LOAD_3DS
