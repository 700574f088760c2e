#pragma once
// How a material of a file that assimp reads reflects: assimp's keys mapped onto FileMaterial's
// reflection fields and maps, per family of formats.
//
// - glTF's metallic-roughness materials (and FBX's when they carry the same keys) as they are:
//   metallic and roughness factors and their texture, a 4% dielectric coat that reflects the
//   scene, alpha mode MASK (cut off at alphaCutoff) or BLEND (the base colour's alpha as
//   opacity), doubleSided, the emissive colour and texture.
// - The highlight-only formats (OBJ/MTL, Collada, FBX, X, ASE, ...): the specular colour times
//   its strength and the shininess exponent as a GGX coat of the same width and peak
//   (SetPhongHighlight), a specular texture (MTL map_Ks), OBJ's illum 3 and up as a mirror of the
//   specular colour's strength, Collada's and FBX's reflectivity with a reflective colour as a
//   mirror, the opacity (MTL d, or 1 - Tr) and its texture (map_d), the emissive colour.
// Values that are not numbers, or lie outside their range, are clamped or left at the default.

#include <assimp/material.h>
#include <assimp/scene.h>

#include "loaders/file_material.h"

namespace LOAD_3DS {

// A texture the material names, with the pixels of an image embedded in the file.
FileTexture TextureOf(const aiScene& scene, const aiString& path);

// Fills out's reflection fields and maps from m (out's colour and base texture are the caller's).
void ReadReflection(const aiScene& scene, const aiMaterial& m, FileMaterial& out);

}  // namespace LOAD_3DS
