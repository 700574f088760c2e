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

// Light 0 of the first displayed frame: (4 cos 1, cos 1 + 2, 8 sin 1).
VECTOR FirstFrameLight();

}  // namespace redowl_test
