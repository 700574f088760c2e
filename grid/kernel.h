#pragma once
// The ray kernels of the grids, written once over a lane width (grid/kernel_impl.h) and
// compiled once per instruction set: scalar (1 lane), SSE4.2 (4), AVX2 (8), AVX-512 (16). One
// of them is chosen at start-up from what the processor has, or forced by the environment
// variable REDOWL_ISA=scalar|sse4|avx2|avx512; every choice gives the same answers bit for bit.
//
// The kernels only see plain data: a built grid's query copy (GridQueryData, made by
// BaseGrid) and a ray prepared once (RayPrep), so the scene can set a ray up once and hand it
// to every grid whose frame shares the ray's direction.

#include <cstdint>
#include <string>

namespace RAYTR {

// Triangles of a cell are stored in blocks of `width` lanes, component by component: the
// rows ax, ay, az, bx, by, bz, cx, cy, cz of `width` floats each (kBlockRows * width floats per
// block), unused lanes not numbers (never a hit). blockIndex holds the triangle index of each
// lane (kNoTriangle in unused lanes).
inline constexpr int kBlockRows = 9;
inline constexpr unsigned kNoTriangle = 0xFFFFFFFFu;
// A macro cell is kMacroEdge x kMacroEdge x kMacroEdge cells; the walk passes over macro cells
// without triangles in one step.
inline constexpr int kMacroShift = 2;
inline constexpr int kMacroEdge = 1 << kMacroShift;

struct GridQueryData {
    float minimum[3] = {0, 0, 0}, maximum[3] = {0, 0, 0};  // the box the rays are clipped to
    float inverseCell[3] = {0, 0, 0};                       // cells per unit, per axis
    float cellEdge[3] = {0, 0, 0};                          // 1 / inverseCell (0 where that is 0)
    int resolution[3] = {0, 0, 0};
    int stride[3] = {0, 0, 1};                // cell (i, j, k) at i * stride[0] + j * stride[1] + k
    const std::uint32_t* cellStart = nullptr;  // cells + 1 offsets: cell c's blocks are [start[c], start[c + 1])
    const float* blocks = nullptr;
    const std::uint32_t* blockIndex = nullptr;
    int width = 0;                            // lanes per block
    int macroResolution[3] = {0, 0, 0};
    int macroStride[3] = {0, 0, 1};
    const std::uint8_t* macroOccupied = nullptr;  // nonzero: some cell of the macro cell holds a triangle
};

// A ray set up once for the watertight test of S. Woop, C. Benthin and I. Wald, "Watertight
// Ray/Triangle Intersection", JCGT 2(1), 2013: the axis kz of the direction's largest
// component, kx and ky after it (swapped when d[kz] < 0, so that the winding is kept), and the
// shear S. origin is the ray's origin in the grid's frame; the rest depends on the direction
// only.
struct RayPrep {
    float origin[3] = {0, 0, 0};
    float direction[3] = {0, 0, 0};
    float inverse[3] = {0, 0, 0};  // 1 / direction per axis (infinite for a zero component)
    int kx = 0, ky = 1, kz = 2;
    float sx = 0, sy = 0, sz = 0;
    std::uint32_t usable = 0;  // 0 for a zero, infinite or undefined direction or origin
};

// Sets up a ray (origin o, direction d, x y z each), in place or as a value.
void PrepareRay(const float o[3], const float d[3], RayPrep& ray);
// The same in two steps: origin, direction, inverse and usable (enough to clip the ray to
// boxes), then the rest (before the ray meets a triangle).
void PrepareInverse(const float o[3], const float d[3], RayPrep& ray);
void PrepareShear(RayPrep& ray);
inline RayPrep PrepareRay(const float o[3], const float d[3]) {
    RayPrep r;
    PrepareRay(o, d, r);
    return r;
}
// The nearest hit of a query: ray parameter t, the corner weights and the triangle's index.
struct KernelHit {
    float t = 0.0f;
    float b0 = 0.0f, b1 = 0.0f, b2 = 0.0f;
    std::uint32_t index = 0;
};

// One instruction set's kernels.
struct KernelTable {
    const char* name;  // "scalar", "sse4", "avx2", "avx512"
    int width;
    // Nearest front-facing triangle with 0 < t < tMax (t conservatively beyond its rounding
    // error); of equally near ones the lowest index. On false, hit is unchanged.
    bool (*nearest)(const GridQueryData& grid, const RayPrep& ray, float tMax, KernelHit& hit);
    // Whether some front-facing triangle has 0 < t < tMax; stops at the first.
    bool (*any)(const GridQueryData& grid, const RayPrep& ray, float tMax);
    // The triangle (t0, t1, t2) against `count` boxes of half size `half` centred on (cx[i],
    // cy[i], cz[i]), by the separating-axis test of T. Akenine-Moeller, "Fast 3D Triangle-Box
    // Overlap Testing" (JGT 2001), every comparison strict (touching counts): bit i set for box
    // i overlapping. count <= 16; the arrays hold at least `width` rounded-up entries.
    std::uint32_t (*overlap)(const float* cx, const float* cy, const float* cz, int count, const float half[3],
                             const float t0[3], const float t1[3], const float t2[3]);
    // One triangle (corners a, b, c) by the exact test the grid queries use: true with t and
    // the weights for a front-facing hit with 0 < t < tMax.
    bool (*triangle)(const RayPrep& ray, const float a[3], const float b[3], const float c[3], float tMax,
                     KernelHit& hit);
};

// The kernels in use: chosen on the first call (REDOWL_ISA, or the widest the processor
// runs). A REDOWL_ISA that names no kernel or one the processor cannot run ends the process
// with a message on standard error and status 2 (see CheckIsaEnvironment to refuse it first).
const KernelTable& Kernel();
// The kernels of one instruction set, or null when the name is unknown or the processor
// lacks it. Names: "scalar", "sse4", "avx2", "avx512".
const KernelTable* KernelNamed(const std::string& name);
// Empty when REDOWL_ISA is unset or names a kernel this processor runs; otherwise the message.
std::string CheckIsaEnvironment();
// Makes `table` the kernels in use (tests and benchmarks). Grids built before keep the
// kernels they were built for.
void UseKernel(const KernelTable& table);

}  // namespace RAYTR
