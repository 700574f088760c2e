#include "mesh/winding.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace ORVA_GRAPHICS {

namespace {

// Sorts 64-bit keys of at most `bits` significant bits: least significant digit first, 16 bits
// a pass (linear time: a model of millions of triangles has millions of edges).
void RadixSort(std::vector<std::uint64_t>& keys, int bits) {
    std::vector<std::uint64_t> other(keys.size());
    std::vector<std::size_t> count(65537);
    for (int shift = 0; shift < bits; shift += 16) {
        std::fill(count.begin(), count.end(), 0);
        for (const std::uint64_t k : keys) ++count[((k >> shift) & 0xFFFF) + 1];
        for (std::size_t d = 0; d < 65536; ++d) count[d + 1] += count[d];
        for (const std::uint64_t k : keys) other[count[(k >> shift) & 0xFFFF]++] = k;
        keys.swap(other);
    }
}

std::uint32_t Bits(float f) {
    if (f == 0.0f) f = 0.0f;
    std::uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

}  // namespace

Closure SurfaceClosure(const float* xyz, std::size_t stride, std::size_t n, const std::uint32_t* corners,
                       std::size_t faceCount) {
    if (n == 0 || faceCount < 4 || xyz == nullptr || corners == nullptr || n >= (std::size_t(1) << 31)) return Closure::Open;
    const auto at = [xyz, stride](std::size_t i) { return xyz + i * stride; };
    // Corners joined by equal positions: an open-addressing table of ids.
    std::vector<std::uint32_t> id(n);
    std::size_t size = 16;
    while (size < 2 * n) size <<= 1;
    std::vector<std::uint32_t> slot(size, ~0u);
    std::uint32_t next = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const float* p = at(i);
        if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) return Closure::Open;
        const std::uint32_t x = Bits(p[0]), y = Bits(p[1]), z = Bits(p[2]);
        std::uint64_t h = (x * 0x9E3779B97F4A7C15ull) ^ (y * 0xBF58476D1CE4E5B9ull) ^ (z * 0x94D049BB133111EBull);
        h ^= h >> 29;
        for (std::size_t s = std::size_t(h) & (size - 1);; s = (s + 1) & (size - 1)) {
            if (slot[s] == ~0u) {
                slot[s] = std::uint32_t(i);
                id[i] = next++;
                break;
            }
            const float* q = at(slot[s]);
            if (Bits(q[0]) == x && Bits(q[1]) == y && Bits(q[2]) == z) {
                id[i] = id[slot[s]];
                break;
            }
        }
    }
    std::vector<std::uint32_t>().swap(slot);
    // Each directed edge as its undirected key with the direction in the lowest bit: the
    // surface is closed and consistently wound exactly when every undirected key occurs twice,
    // once in each direction. And the enclosed volume (times 6).
    std::vector<std::uint64_t> edges;
    edges.reserve(3 * faceCount);
    double volume = 0.0;
    for (std::size_t t = 0; t < faceCount; ++t) {
        const std::uint32_t i0 = corners[3 * t], i1 = corners[3 * t + 1], i2 = corners[3 * t + 2];
        if (i0 >= n || i1 >= n || i2 >= n) return Closure::Open;
        const std::uint64_t a = id[i0], b = id[i1], c = id[i2];
        if (a == b || b == c || a == c) return Closure::Open;
        for (const auto& [from, to] : {std::pair{a, b}, std::pair{b, c}, std::pair{c, a}})
            edges.push_back(from < to ? (from << 33 | to << 1) : (to << 33 | from << 1 | 1u));
        const float* A = at(i0);
        const float* B = at(i1);
        const float* C = at(i2);
        volume += double(A[0]) * (double(B[1]) * C[2] - double(B[2]) * C[1]) -
                  double(A[1]) * (double(B[0]) * C[2] - double(B[2]) * C[0]) +
                  double(A[2]) * (double(B[0]) * C[1] - double(B[1]) * C[0]);
    }
    int keyBits = 1;
    while (keyBits < 64 && (std::uint64_t(next) << 33) >> keyBits != 0) ++keyBits;
    RadixSort(edges, keyBits);
    if (edges.size() % 2 != 0) return Closure::Open;
    for (std::size_t e = 0; e < edges.size(); e += 2) {
        if ((edges[e] >> 1) != (edges[e + 1] >> 1) || (edges[e] & 1) != 0 || (edges[e + 1] & 1) != 1) return Closure::Open;
        if (e + 2 < edges.size() && (edges[e + 2] >> 1) == (edges[e] >> 1)) return Closure::Open;
    }
    return volume > 0.0 ? Closure::Outward : volume < 0.0 ? Closure::Inward : Closure::Open;
}

bool TurnInwardFaces(const std::vector<LOAD_3DS::LPoint3>& positions, std::vector<LOAD_3DS::LFace>& faces,
                     std::vector<LOAD_3DS::LPoint3>& normals, Closure* found) {
    std::vector<std::uint32_t> corners;
    corners.reserve(3 * faces.size());
    for (const LOAD_3DS::LFace& f : faces)
        for (const int k : {f.a, f.b, f.c}) corners.push_back(k >= 0 ? std::uint32_t(k) : ~0u);
    static_assert(sizeof(LOAD_3DS::LPoint3) == 3 * sizeof(float));
    const Closure closure =
        positions.empty() ? Closure::Open : SurfaceClosure(&positions[0].x, 3, positions.size(), corners.data(), faces.size());
    // Turned faces enclose the same volume with the other sign, term by term: outward.
    if (found != nullptr) *found = closure == Closure::Inward ? Closure::Outward : closure;
    if (closure != Closure::Inward) return false;
    for (LOAD_3DS::LFace& f : faces) std::swap(f.b, f.c);
    // The turned faces' normals (area-weighted) summed at their corners.
    std::vector<LOAD_3DS::LPoint3> around(positions.size(), LOAD_3DS::LPoint3{0.0f, 0.0f, 0.0f});
    for (const LOAD_3DS::LFace& f : faces) {
        const LOAD_3DS::LPoint3 &a = positions[std::size_t(f.a)], &b = positions[std::size_t(f.b)], &c = positions[std::size_t(f.c)];
        const float ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z, vx = c.x - a.x, vy = c.y - a.y, vz = c.z - a.z;
        const LOAD_3DS::LPoint3 n{uy * vz - uz * vy, uz * vx - ux * vz, ux * vy - uy * vx};
        for (const int k : {f.a, f.b, f.c}) {
            LOAD_3DS::LPoint3& s = around[std::size_t(k)];
            s = {s.x + n.x, s.y + n.y, s.z + n.z};
        }
    }
    for (std::size_t v = 0; v < normals.size() && v < around.size(); ++v) {
        LOAD_3DS::LPoint3& n = normals[v];
        if (n.x * around[v].x + n.y * around[v].y + n.z * around[v].z < 0.0f) n = {-n.x, -n.y, -n.z};
    }
    return true;
}

std::size_t AddBackFaces(std::vector<LOAD_3DS::LPoint3>& positions, std::vector<LOAD_3DS::LPoint3>& normals,
                         std::vector<LOAD_3DS::LUV>& uvs, std::vector<LOAD_3DS::LFace>& faces,
                         std::vector<std::uint32_t>& faceMaterials, const std::vector<bool>& marked) {
    const std::size_t F = faces.size(), V = positions.size();
    const bool materials = faceMaterials.size() == F;
    std::vector<int> copy(V, -1);  // the reversed copy of each vertex, once made
    std::size_t added = 0;
    for (std::size_t f = 0; f < F && f < marked.size(); ++f) {
        if (!marked[f]) continue;
        int c[3];
        const LOAD_3DS::LFace face = faces[f];
        const int corner[3] = {face.a, face.c, face.b};  // wound the other way
        for (int k = 0; k < 3; ++k) {
            const std::size_t v = std::size_t(corner[k]);
            if (copy[v] < 0) {
                copy[v] = int(positions.size());
                positions.push_back(positions[v]);
                const LOAD_3DS::LPoint3 n = normals[v];
                normals.push_back({-n.x, -n.y, -n.z});
                uvs.push_back(uvs[v]);
            }
            c[k] = copy[v];
        }
        faces.push_back({c[0], c[1], c[2]});
        if (materials) faceMaterials.push_back(faceMaterials[f]);
        ++added;
    }
    return added;
}

}  // namespace ORVA_GRAPHICS
