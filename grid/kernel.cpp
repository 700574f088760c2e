// Choosing the kernels of one instruction set once, and the ray set-up they share.

#include "grid/kernel.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace RAYTR {

extern const KernelTable kKernel_scalar;
extern const KernelTable kKernel_sse4;
extern const KernelTable kKernel_avx2;
extern const KernelTable kKernel_avx512;

namespace {

bool Runs(const std::string& name) {
    if (name == "scalar") return true;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (name == "sse4") return __builtin_cpu_supports("sse4.2");
    if (name == "avx2") return __builtin_cpu_supports("avx2");
    if (name == "avx512") return __builtin_cpu_supports("avx512f");
#endif
    return false;
}

const KernelTable* Table(const std::string& name) {
    if (name == "scalar") return &kKernel_scalar;
    if (name == "sse4") return &kKernel_sse4;
    if (name == "avx2") return &kKernel_avx2;
    if (name == "avx512") return &kKernel_avx512;
    return nullptr;
}

std::atomic<const KernelTable*> gKernel{nullptr};
std::once_flag gChosen;

const KernelTable& Choose() {
    const std::string refused = CheckIsaEnvironment();
    if (!refused.empty()) {
        std::fprintf(stderr, "%s\n", refused.c_str());
        std::exit(2);
    }
    const char* forced = std::getenv("REDOWL_ISA");
    if (forced != nullptr && *forced != '\0') return *Table(forced);
    // AVX2 before AVX-512: on the processors measured (grid_bench), the sixteen-lane kernels
    // ran at a third of the eight-lane ones' speed (each query uses the 512-bit units briefly,
    // between scalar work, and pays for it); REDOWL_ISA=avx512 still chooses them.
    for (const char* name : {"avx2", "avx512", "sse4"})
        if (Runs(name)) return *Table(name);
    return kKernel_scalar;
}

}  // namespace

const KernelTable* KernelNamed(const std::string& name) {
    const KernelTable* table = Table(name);
    return table != nullptr && Runs(name) ? table : nullptr;
}

std::string CheckIsaEnvironment() {
    const char* forced = std::getenv("REDOWL_ISA");
    if (forced == nullptr || *forced == '\0') return {};
    const std::string name = forced;
    if (Table(name) == nullptr)
        return "REDOWL_ISA=" + name + " names no ray kernel: use scalar, sse4, avx2 or avx512";
    if (!Runs(name))
        return "REDOWL_ISA=" + name + " asks for ray kernels that this processor cannot run (it lacks " +
               (name == "sse4" ? "SSE4.2" : name == "avx2" ? "AVX2" : "AVX-512F") + ")";
    return {};
}

const KernelTable& Kernel() {
    std::call_once(gChosen, [] {
        if (gKernel.load() == nullptr) gKernel.store(&Choose());
    });
    return *gKernel.load(std::memory_order_acquire);
}

void UseKernel(const KernelTable& table) {
    std::call_once(gChosen, [] {});
    gKernel.store(&table);
}

void PrepareInverse(const float o[3], const float d[3], RayPrep& r) {
    for (int axis = 0; axis < 3; ++axis) {
        r.origin[axis] = o[axis];
        r.direction[axis] = d[axis];
    }
#if defined(__SSE2__)
    // The three reciprocals in one division (each lane exactly 1 / d).
    alignas(16) float inverse[4];
    _mm_store_ps(inverse, _mm_div_ps(_mm_set1_ps(1.0f), _mm_set_ps(1.0f, d[2], d[1], d[0])));
    for (int axis = 0; axis < 3; ++axis) r.inverse[axis] = inverse[axis];
#else
    for (int axis = 0; axis < 3; ++axis) r.inverse[axis] = 1.0f / d[axis];
#endif
    const float ax = std::fabs(d[0]), ay = std::fabs(d[1]), az = std::fabs(d[2]);
    r.usable = (ax > 0.0f || ay > 0.0f || az > 0.0f) && std::isfinite(ax + ay + az) &&
               std::isfinite(o[0] + o[1] + o[2]) && o[0] - o[0] == 0.0f;
}

void PrepareShear(RayPrep& r) {
    if (!r.usable) return;
    const float ax = std::fabs(r.direction[0]), ay = std::fabs(r.direction[1]), az = std::fabs(r.direction[2]);
    // kz: the largest component; kx, ky the next two, swapped when d[kz] < 0 (winding kept).
    r.kz = ax > ay ? (ax > az ? 0 : 2) : (ay > az ? 1 : 2);
    r.kx = r.kz == 2 ? 0 : r.kz + 1;
    r.ky = r.kx == 2 ? 0 : r.kx + 1;
    if (r.direction[r.kz] < 0.0f) {
        const int swap = r.kx;
        r.kx = r.ky;
        r.ky = swap;
    }
    r.sz = r.inverse[r.kz];
    r.sx = r.direction[r.kx] * r.sz;
    r.sy = r.direction[r.ky] * r.sz;
}

void PrepareRay(const float o[3], const float d[3], RayPrep& r) {
    PrepareInverse(o, d, r);
    PrepareShear(r);
}

}  // namespace RAYTR
