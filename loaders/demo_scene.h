#pragma once
// The demo scene: a textured torus knot over a checkered floor inside a sky dome, written as
// 3DS and BMP files with a release.cgf that uses them.

#include <string>
#include <vector>

#include "loaders/l3ds_writer.h"

namespace LOAD_3DS {

// A (2, 3) torus knot tube centred at the origin, about 3 units in radius, lying across the
// x-y plane. segments rings along the curve, sides vertices around the tube; the seams repeat
// their positions so the mapping coordinates run on (u along the curve, v around the tube).
// Closed, with counter-clockwise faces seen from outside.
WriterMesh MakeTorusKnot(int segments = 600, int sides = 36);

// A sphere of the given radius centred at the origin, faces pointing inward, u along the
// longitude and v from the lower pole (0) to the upper pole (1).
WriterMesh MakeSkyDome(float radius = 80.0f, int slices = 48, int stacks = 24);

// A square of at least side size at y = 0 centred on the y axis, made of square tiles of side
// tile facing up (+y), each carrying the whole texture with mapping coordinates in [0, 1]. The
// default reaches beyond the sky dome, so that shadows never run off the floor.
WriterMesh MakeFloor(float size = 180.0f, float tile = 30.0f);

// The knot of the demo: MakeTorusKnot placed so that it stands on the floor below every point
// of the light's path (see demo_scene.cpp).
WriterMesh MakeDemoKnot();

// Image pixels as TEXTURE keeps them: red, green, blue, bottom row first.
std::vector<unsigned char> MakeCheckerImage(int size = 256, int squares = 16);
std::vector<unsigned char> MakeSkyImage(int width = 512, int height = 256);

// The text of release.cgf for the three models below.
std::string DemoConfiguration();
// The part of a scene's release.cgf after model 0 that the demo and the model scenes share:
// the models the f key frames (frameModels, such as "0" or "0,3,4"), the sky (model 1, not
// traced) and the floor (model 2), the end of the scene section, and the
// tracer section with the exact build at cell factor gridFactor (factorNote continues the
// factor's comment line); moreSceneKeys (whole lines) end the scene section.
std::string SkyFloorAndTracerConfiguration(const std::string& gridFactor, const std::string& factorNote,
                                           const std::string& frameModels = "0", const std::string& moreSceneKeys = "");

// Writes dir/release.cgf, dir/data/texture1.bmp, dir/data/SKY.bmp and the three models
// dir/data/knot.3ds, dir/data/sky.3ds, dir/data/floor.3ds (creating the folders), nothing
// outside dir and through no symbolic link below it (see WriteBytesInside). On failure returns
// false with a one-line reason in *error when error is not null.
bool WriteDemoScene(const std::string& dir, std::string* error = nullptr);

}  // namespace LOAD_3DS
