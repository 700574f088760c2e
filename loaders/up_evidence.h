#pragma once
// Evidence of a model's up axis in files that declare none (PLY, STL, OBJ): what a PLY header
// says of the program that wrote it, and a scan's flat base. Each answer is kUpUndeclared or
// DeclaredUp(axis) (loaders/up_axis.h), with the reason for the scene's comment.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "loaders/l3ds.h"
#include "loaders/up_axis.h"

namespace LOAD_3DS {

// A PLY header (the text up to "end_header"): a line that names the up axis ("up_axis z",
// "up axis: -y", "up = y", letter case ignored) gives it; else "zipper" or "vrip" (the Stanford
// scanning tools, whose scans stand y-up) gives y. The program's name is no evidence otherwise:
// Blender's exporters write whatever axes the scene had (Debian's Wuson.ply is y-up).
std::uint8_t PlyHeaderUp(std::string_view header, std::string* why);
// The same for the file's header (read up to "end_header", at most kMaxPlyHeader bytes);
// kUpUndeclared for a file that is not PLY or cannot be read.
inline constexpr std::size_t kMaxPlyHeader = 65536;
std::uint8_t PlyFileUp(const std::string& file, std::string* why);

// A scan cut flat where it stood: of the six sides of the box, exactly one holds flat faces
// (faces lying in the side's plane, within half a per cent of the largest side) of at least 1%
// of the model's area, and no other side a tenth as much. The axis away from that side is up
// (a base at the lowest z: z). A box, a building or a flat plate has flat faces on several
// sides (or on two opposite ones) and gives nothing.
std::uint8_t FlatBaseUp(const std::vector<LPoint3>& positions, const std::vector<LFace>& faces, std::string* why);

}  // namespace LOAD_3DS
