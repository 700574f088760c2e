#pragma once
// Scenes for the screen-tracer and renderer tests, put together the way scene assembly does it:
// traced objects (flags 0x0F after PrepareForTracing), one white light with ambient 1.0 and
// attenuation (1, 0.01, 0.001), the eye at (0, 0, 15) looking at the origin.

#include <memory>
#include <string>
#include <vector>

#include "math/vector.h"
#include "raytracer/scene.h"
#include "raytracer/tobject.h"

namespace redowl_test {

using ORVA_MATH::VECTOR;

// A traced object from triangles (three positions each, counter-clockwise seen from the front),
// with flat normals and planar texture coordinates u = x, v = y scaled into [0, 1].
std::unique_ptr<RAYTR::TObject> MakeTracedObject(const std::vector<VECTOR>& corners);
// Axis-aligned box with outward faces.
std::unique_ptr<RAYTR::TObject> MakeBox(VECTOR minimum, VECTOR maximum);
// Square in the plane y = height facing +y, from -half to +half in x and z.
std::unique_ptr<RAYTR::TObject> MakeFloor(float height, float half);

// The application's light at position with colour (255, 255, 255).
RAYTR::LightSource AssemblyLight(VECTOR position);
// Eye (0, 0, 15), target (0, 0, 0); near and far stay 1 and 1000.
void SetAssemblyCamera(RAYTR::Scene& scene);

// Floor at y = -2, a box floating above it: casts a shadow under a light from above.
std::unique_ptr<RAYTR::Scene> MakeBoxOverFloorScene(VECTOR lightPosition);

// The demo scene that the demo generator writes (knot, sky dome, floor), assembled as the viewer
// assembles it: grid algorithm "fast_algorithm" with factor 0.75, model 0 moved by
// (0, -1.65, 0) and model 2 by (0, -5, 0), textures 0 from data/texture1.bmp, data/SKY.bmp and
// data/texture1.bmp, models 0 and 2 traced (flags 15), model 1 drawn only (flags 3), one white
// light, eye (0, 0, 15) looking at the origin. Built once per process (needs the GL context for
// the textures); callers move light 0 as they need. Null when the files cannot be written.
RAYTR::Scene* DemoScene();

// Light 0 of the first displayed frame: (4 cos 1, cos 1 + 2, 8 sin 1).
VECTOR FirstFrameLight();

}  // namespace redowl_test
