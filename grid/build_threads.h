#pragma once
// A few threads for one step of a grid build (math/parallel.h). Builds happen at scene
// assembly, so making threads (and allocating) here is fine; nothing of this runs per ray.

#include "math/parallel.h"

namespace RAYTR {

// The number of threads a build step over work items should use: at most `requested` (0: one
// per hardware thread), and one per minItemsPerThread items at least, so small meshes stay on
// one. Results do not depend on it: every parallel step of a build writes what the one-thread
// build writes.
int BuildThreadCount(int requested, long long items, long long minItemsPerThread);

using ORVA_MATH::PartBegin;
using ORVA_MATH::RunParts;

}  // namespace RAYTR
