#pragma once
// The sky of the traced image: what a ray shows that leaves every traced model. The viewer's
// sky is a textured dome around the scene that the preview draws but the tracer does not trace
// (it casts no shadow); a ray that misses the traced models meets the dome's sphere and shows
// the dome's texture there, as the preview draws it: u is the longitude (0 along +x, turning
// toward +z), v the latitude from the lower pole (0) to the upper one (1). Without a dome
// texture the sky is black.

#include "math/vector.h"
#include "raytracer/ray.h"

class TEXTURE;

namespace RAYTR {

class TObject;

struct SkyDome {
    const TEXTURE* texture = nullptr;       // null: a black sky
    VECTOR centre{0.0f, 0.0f, 0.0f, 1.0f};  // world coordinates
    float radius = 0.0f;
};

// The dome of a sky model: its texture 0 (none when it has no pixels), and the sphere through
// its farthest vertex around the middle of its box, in world coordinates (its transform
// applied). The dome must outlive the object's texture records' use.
SkyDome DomeOf(const TObject& object);

// The colour (red, blue, green in x, y, z, as the tracer keeps them) the world ray shows on the
// dome: the texel where the ray leaves the dome's sphere, or, for an origin outside the sphere,
// the texel in the ray's direction from the centre. Black without a texture.
VECTOR SkyColour(const SkyDome& sky, const Ray& ray);

}  // namespace RAYTR
