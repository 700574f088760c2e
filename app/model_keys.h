#pragma once
// The optional keys of one model in release.cgf. Absent keys give the defaults, which load a
// model exactly as a configuration without them does.
//
//   scene.model<i>_fit = 6            largest side scaled to 6 units, box centred on the origin
//   scene.model<i>_up = z             the file's up axis, turned to +y: x, y (the default), z,
//                                     -x, -y or -z
//   scene.model<i>_floor = -5         after the turn and the fit, the lowest point moved to this
//                                     height in the scene (absent: not moved)
//   scene.model<i>_offset = 0,-2,0    x,y,z added after the turn, the fit and the floor
//   scene.model<i>_meshes = all       all (every mesh of the file) or first (the default)
//   scene.model<i>_smoothing = groups groups (the file's smoothing groups or normals) or
//                                     position (normals from the positions); the default:
//                                     groups with the file's materials, else position
//   scene.model<i>_crease = 40        computed normals smooth only where faces meet at up to this
//                                     many degrees (0 to 180); the default: 40 with the file's
//                                     materials, else the smoothing by position of 3DS files
//   scene.model<i>_texture = data/x.png   the model's own image (any format) instead of the fixed one
//   scene.model<i>_materials = file   file (the file's materials; the default but for .3ds files)
//                                     or fixed (the fixed texture; the default for .3ds files);
//                                     a _texture key makes it the given image, matte
//                                     (the file materials' default reflection) in both modes
//   scene.model<i>_sides = both       both: every face seen from both sides; front (the
//                                     default): faces wound counter-clockwise toward the viewer,
//                                     and the file's two-sided materials; open: both when the
//                                     model's surface is open (an edge of one face), else front

#include <string>
#include <vector>

#include "mesh/model_load.h"

namespace CONFIG {
class Lexer;
}

namespace WIN_NMS {

// The fixed move down of models 0 and 2 (the scene's first and third model, whatever they are),
// 0 for the others: assembly translates them by this much along y before anything else.
float FixedDrop(int i);

// Suffixes of the per-model keys after "scene.model<i>", the one read since the beginning
// ("_do_trace") included.
const std::vector<std::string>& ModelKeySuffixes();

// The placement, meshes, smoothing and materials options of model i. Throws TIRN_ERROR::Error naming the
// key and what it accepts when a value is not one of them.
ORVA_GRAPHICS::ModelOptions ReadModelOptions(CONFIG::Lexer& config, int i);

// The model's own texture file, empty when the key is absent.
std::string ModelTexture(CONFIG::Lexer& config, int i);

}  // namespace WIN_NMS
