#pragma once
// The viewer's u key: a model turned to the next up axis where it stands. The turn is the
// model's transform (its vertices and its grid stay as loaded): a quarter or half turn about the
// centre of its box, then a move along y that keeps its lowest point where it was, so that a
// model standing on the floor still stands on it.

#include "loaders/up_axis.h"
#include "math/matrix.h"

namespace WIN_NMS {

// The transform (row vectors, as a mesh keeps it) that shows a model loaded with its file's
// `loadedUp` axis turned up, instead with its `up` axis turned up, on top of `base` (its
// transform as loaded). lo and hi: the box of its vertices in its own coordinates; base is
// taken to keep boxes axis-aligned (a translation, or a turn of the same kind).
ORVA_MATH::MATRIX TurnedTransform(LOAD_3DS::UpAxis loadedUp, LOAD_3DS::UpAxis up, const float lo[3], const float hi[3],
                                  const ORVA_MATH::MATRIX& base);

}  // namespace WIN_NMS
