#pragma once
// A scene folder around one model of the user's, of any format the viewer reads: the model
// copied into data/ with the files it needs (its MTL, its textures, its buffers), the demo's
// floor, sky and textures, and a release.cgf that fits the model to the view, turns its up axis
// to +y, keeps all its meshes, its own normals and its own materials, and stands it on the
// floor. The viewer opens model files (up to three, side by side) in the same scene, made in
// memory.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "loaders/up_axis.h"

namespace LOAD_3DS {

// Size of the model's largest side in the written scene, in units (the camera, 15 units away,
// sees about 12 units across at the model's distance).
inline constexpr float kModelFit = 6.0f;
// y of the floor's top in the scene (the floor is model 2, moved down by 5): the models stand
// on it.
inline constexpr float kSceneFloorY = -5.0f;

// What the writer measured of a model: its box in the file's coordinates, its triangle count
// over all meshes, and the other files it reads (with their paths as found).
struct ModelMeasure {
    float lo[3] = {0.0f, 0.0f, 0.0f};
    float hi[3] = {0.0f, 0.0f, 0.0f};
    long long triangles = 0;
    double firstEdges = 0.0;  // sum of the lengths of every face's first edge (corners a, b)
    int meshes = 0;
    std::vector<std::string> companions;  // MTL files, buffers, textures found inside its folder
    // The up axis the file declares (kUpUndeclared or DeclaredUp(axis)): 3DS files are z-up by
    // their tools' convention; FBX files name theirs; glTF is y-up by its definition; Collada
    // and ASE files are turned upright by assimp's readers.
    std::uint8_t declaredUp = kUpUndeclared;
    std::string upSource;  // where a declared axis comes from, for the comment in release.cgf
    // Without a declared axis: evidence of one (loaders/up_evidence.h: a PLY header's words, a
    // flat base of an STL, PLY or OBJ model), kUpUndeclared or DeclaredUp(axis), and why.
    std::uint8_t evidenceUp = kUpUndeclared;
    std::string evidenceSource;
    // Without either: STL and PLY files say nothing (scanners and CAD programs write either), so
    // their box decides (IsZUp); the other formats are drawn y-up.
    bool boxDecides = false;
    // Whether a material of the model names a texture.
    bool namesTexture = false;
};

// Reads the model's meshes; false with the viewer's message ("Can not load ", "There are no
// meshes in ", "There are no vertices in ", "There are no triangles in " followed by the file
// name) in *error. keep: the model read is kept for the viewer's load that follows (see
// KeepImported), so that a large file is read once.
bool MeasureModel(const std::string& file, ModelMeasure& measure, std::string* error, bool keep = false);

// For a file that declares no up axis and whose box decides: z unless the model rests on the
// plane y = 0 (its lowest y within 2% of its largest side from 0) and not on z = 0, as files
// exported from y-up programs do.
bool IsZUp(const ModelMeasure& measure);

// The up axis a scene turns the model by, and why (for the comment in release.cgf): the one
// given (--up), else the one its file declares, else the evidence, else the guess above.
struct UpChoice {
    UpAxis axis = UpAxis::Y;
    std::string why;
};
UpChoice ChooseUp(const ModelMeasure& measure, const UpAxis* given = nullptr);

// The grid build factor ("tracer.regular_grid.cub_less_elem_times") for a scene whose model has
// this many triangles (the floor's 1,800 come on top).
float GridFactorFor(long long triangles);
// The same for a measured model, lowered where the model's grid would ask for more than
// kSceneGridCells cells (a model of millions of triangles): fewer, fuller cells build faster,
// take less memory and stay clear of the grid's memory warning.
float GridFactorFor(const ModelMeasure& measure);
inline constexpr double kSceneGridCells = 4194304.0;

// One model of a scene around the user's models.
struct SceneModel {
    std::string file;  // as release.cgf names it (the writer: data/NAME)
    ModelMeasure measure;
    bool upGiven = false;  // up: the axis the user gave (--up), else the measure's choice
    UpAxis up = UpAxis::Y;
    std::string texture;   // an image laid over the model (scene.model<i>_texture), or none
};
// At most this many: the scene's five model slots hold the sky and the floor too.
inline constexpr int kMaxSceneModels = 3;
// The slot of the k-th model: 0, 3, 4 (model 1 is the sky, model 2 the floor).
int SceneSlot(int k);

// The release.cgf of a scene around one to kMaxSceneModels models: each fitted to kModelFit
// units, turned upright, its lowest point on the floor (scene.model<i>_floor), side by side
// along x with their fronts at z = 0, framed together from three-quarter above; the grid factor
// from the largest. Its comments state the numbers written. This is the text the writer writes
// and the viewer reads in memory when it opens model files directly.
std::string ModelSceneConfiguration(const std::vector<SceneModel>& models);
// One model named dataName in data/, turned as ChooseUp says.
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
// up: the axis given (--up), or null for the measure's choice.
bool WriteModelScene(const std::string& modelFile, const std::string& dir, bool keepConfiguration,
                     std::string* error = nullptr, const UpAxis* up = nullptr);

}  // namespace LOAD_3DS
