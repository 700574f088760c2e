#pragma once
// Red Owl's own reader of PLY files that wind their faces as triangle strips (a "tristrips"
// element with a "vertex_indices" list: strips separated by -1, each triangle after the first
// wound the other way round). assimp's PLY reader of this Debian release loses that element
// (a file of 134,345 vertices came out as one triangle), so the import helper reads such files
// with this reader instead; every other PLY file still goes through assimp.
//
// ASCII, binary little-endian and binary big-endian files; the vertex element's positions,
// normals (nx, ny, nz) and mapping coordinates (u v, s t, texture_u texture_v, texture_s
// texture_t); faces of any number of corners (cut into fans) and strips; every other element and
// property read past. The file is untrusted input: no count is believed beyond the bytes that
// follow the header, and a file that breaks a rule (a header it cannot read, data that ends
// early, a corner outside the vertices) is refused with its reason.

#include <cstddef>
#include <string>

#include "loaders/import.h"

namespace LOAD_3DS {

// Largest header read, in bytes.
inline constexpr std::size_t kMaxPlyHeader = 1 << 16;

// Whether the bytes begin with a PLY header that declares a "tristrips" element.
bool PlyDeclaresStrips(const unsigned char* data, std::size_t size);
// The same for a file (its first kMaxPlyHeader bytes); false when it cannot be read.
bool PlyFileDeclaresStrips(const std::string& file);

// The PLY file in data as one triangle list with one clay material, as ConvertScene gives a
// scene. False with "Can not load NAME: reason" or "There are no triangles in NAME" in *error.
bool ReadPly(const unsigned char* data, std::size_t size, const std::string& name, ImportedModel& out,
             std::string* error);
// The same for a file (read whole; at most kMaxPlyFileBytes).
inline constexpr std::size_t kMaxPlyFileBytes = std::size_t(1) << 34;
bool ReadPlyFile(const std::string& file, ImportedModel& out, std::string* error);

}  // namespace LOAD_3DS
