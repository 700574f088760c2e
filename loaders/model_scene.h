#pragma once
// A scene folder around one 3DS model of the user's: the model copied into data/, the demo's
// floor, sky and textures, a plain texture for the model, and a release.cgf that fits the model
// to the view, turns it z-up to y-up (unless it is drawn y-up), merges all its meshes, smooths by its smoothing groups and
// stands it on the floor.

#include <string>

namespace LOAD_3DS {

// Size of the model's largest side in the written scene, in units (the camera, 15 units away,
// sees about 12 units across at the model's distance).
inline constexpr float kModelFit = 6.0f;

// What the writer measured of a model: its box in the file's coordinates and its triangle count
// over all meshes.
struct ModelMeasure {
    float lo[3] = {0.0f, 0.0f, 0.0f};
    float hi[3] = {0.0f, 0.0f, 0.0f};
    long long triangles = 0;
    int meshes = 0;
};

// Reads the model's meshes; false with the viewer's message ("Can not load ", "There are no
// meshes in ", "There are no vertices in " followed by the file name) in *error.
bool MeasureModel(const std::string& file, ModelMeasure& measure, std::string* error);

// Whether the model is drawn z-up (the 3DS convention) rather than y-up: z unless the model
// rests on the plane y = 0 (its lowest y within 2% of its largest side from 0) and not on z = 0,
// as files exported from y-up programs do.
bool IsZUp(const ModelMeasure& measure);

// The grid build factor ("tracer.regular_grid.cub_less_elem_times") for a scene whose model has
// this many triangles (the floor's 1,800 come on top).
float GridFactorFor(long long triangles);

// The release.cgf of a model scene: model 0 is dataName (a path relative to the folder), placed
// with the given offset.
std::string ModelConfiguration(const std::string& dataName, bool zUp, const float offset[3], float gridFactor);

// Writes dir/release.cgf (unless keepConfiguration and it exists), dir/data/texture1.bmp,
// dir/data/SKY.bmp, dir/data/model.bmp, dir/data/sky.3ds, dir/data/floor.3ds and a copy of the
// model in dir/data/ (blanks in its name become underscores, since values are single words).
// False with a one-line reason in *error.
bool WriteModelScene(const std::string& modelFile, const std::string& dir, bool keepConfiguration,
                     std::string* error = nullptr);

}  // namespace LOAD_3DS
