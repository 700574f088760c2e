#pragma once
// The optional keys of one model in release.cgf. Absent keys give the defaults, which load a
// model exactly as a configuration without them does.
//
//   scene.model<i>_fit = 6            largest side scaled to 6 units, box centred on the origin
//   scene.model<i>_up = z             z (turned to y) or y (the default)
//   scene.model<i>_offset = 0,-2,0    x,y,z added after the turn and the fit
//   scene.model<i>_meshes = all       all (every mesh of the file) or first (the default)
//   scene.model<i>_smoothing = groups groups (the file's smoothing groups) or position (the default)
//   scene.model<i>_texture = data/x.png   the model's own image (any format) instead of the fixed one
//   scene.model<i>_materials = file   file (the file's materials; the default but for .3ds files)
//                                     or fixed (the fixed texture; the default for .3ds files);
//                                     a _texture key makes it fixed
//   scene.model<i>_sides = both       both: every face seen from both sides; front (the
//                                     default): faces wound counter-clockwise toward the viewer,
//                                     and the file's two-sided materials

#include <string>
#include <vector>

#include "mesh/model_load.h"

namespace CONFIG {
class Lexer;
}

namespace WIN_NMS {

// Suffixes of the per-model keys after "scene.model<i>", the one read since the beginning
// ("_do_trace") included.
const std::vector<std::string>& ModelKeySuffixes();

// The placement, meshes, smoothing and materials options of model i. Throws TIRN_ERROR::Error naming the
// key and what it accepts when a value is not one of them.
ORVA_GRAPHICS::ModelOptions ReadModelOptions(CONFIG::Lexer& config, int i);

// The model's own texture file, empty when the key is absent.
std::string ModelTexture(CONFIG::Lexer& config, int i);

}  // namespace WIN_NMS
