#include "loaders/normals.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace LOAD_3DS {

namespace {

// Lattice spacing: twice the tolerance, so two positions within tolerance lie in the same or
// in adjacent cells on each axis, whatever the rounding of the division.
constexpr double kCell = 0.0002;

std::int64_t CellOf(float v) {
    const double q = std::floor(double(v) / kCell);
    return std::int64_t(std::clamp(q, -4.0e18, 4.0e18));
}

using Key = std::array<std::int64_t, 3>;

bool Finite(const LPoint3& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

std::array<std::uint32_t, 3> Bits(const LPoint3& p) {
    std::array<std::uint32_t, 3> b;
    std::memcpy(&b[0], &p.x, 4);
    std::memcpy(&b[1], &p.y, 4);
    std::memcpy(&b[2], &p.z, 4);
    return b;
}

LPoint3 Corner(const std::vector<LPoint3>& vertices, int i) {
    if (i >= int(vertices.size())) return {0.0f, 0.0f, 0.0f};
    return vertices[std::size_t(std::max(i, 0))];
}

}  // namespace

LPoint3 FaceNormal(const std::vector<LPoint3>& vertices, const LFace& face) {
    const LPoint3 A = Corner(vertices, face.a);
    const LPoint3 B = Corner(vertices, face.b);
    const LPoint3 C = Corner(vertices, face.c);
    return Normalise(Cross(Subtract(B, C), Subtract(B, A)));
}

std::vector<LPoint3> SmoothNormals(const std::vector<LPoint3>& vertices, const std::vector<LFace>& faces) {
    std::vector<LPoint3> result;
    SmoothNormals(vertices, faces, result, std::numeric_limits<std::uint64_t>::max());
    return result;
}

bool SmoothNormals(const std::vector<LPoint3>& vertices, const std::vector<LFace>& faces, std::vector<LPoint3>& result,
                   std::uint64_t maxComparisons) {
    const std::size_t V = vertices.size();
    result.assign(V, LPoint3{0.0f, 0.0f, 0.0f});
    if (V == 0) return true;

    // 1. Every face normal once.
    std::vector<LPoint3> faceNormals(faces.size());
    for (std::size_t f = 0; f < faces.size(); ++f) faceNormals[f] = FaceNormal(vertices, faces[f]);

    // 2. Vertex-to-face lists (compressed rows), faces ascending, a face once per vertex.
    std::vector<std::uint32_t> start(V + 1, 0);
    auto corners = [&](const LFace& f, int out[3]) {
        int n = 0;
        for (int k : {f.a, f.b, f.c}) {
            if (k < 0 || std::size_t(k) >= V) continue;
            if (std::find(out, out + n, k) == out + n) out[n++] = k;
        }
        return n;
    };
    for (const LFace& f : faces) {
        int c[3];
        const int n = corners(f, c);
        for (int k = 0; k < n; ++k) ++start[std::size_t(c[k]) + 1];
    }
    for (std::size_t i = 0; i < V; ++i) start[i + 1] += start[i];
    std::vector<std::uint32_t> faceOf(start[V]);
    std::vector<std::uint32_t> fill(start.begin(), start.end() - 1);
    for (std::size_t f = 0; f < faces.size(); ++f) {
        int c[3];
        const int n = corners(faces[f], c);
        for (int k = 0; k < n; ++k) faceOf[fill[std::size_t(c[k])]++] = std::uint32_t(f);
    }

    // 3. Finite vertices sorted by cell, then by exact position, then by index; a vertex with a
    //    non-finite coordinate matches nothing, itself included, and keeps the zero normal.
    struct Entry {
        Key cell;
        std::array<std::uint32_t, 3> bits;
        std::uint32_t index;
    };
    std::vector<Entry> entries;
    entries.reserve(V);
    for (std::size_t i = 0; i < V; ++i) {
        const LPoint3& p = vertices[i];
        if (!Finite(p)) continue;
        entries.push_back({{CellOf(p.x), CellOf(p.y), CellOf(p.z)}, Bits(p), std::uint32_t(i)});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.cell != b.cell) return a.cell < b.cell;
        if (a.bits != b.bits) return a.bits < b.bits;
        return a.index < b.index;
    });
    // Only vertices that are corners of some face can add anything to a sum.
    std::vector<Entry> candidates;
    candidates.reserve(entries.size());
    for (const Entry& e : entries)
        if (start[e.index + 1] > start[e.index]) candidates.push_back(e);
    std::uint64_t comparisons = 0;

    // 4. One sum per distinct position: matching vertices from the 27 neighbouring cells in
    //    ascending index order, each contributing its faces in ascending order.
    std::vector<std::uint32_t> matches;
    matches.reserve(64);
    const auto byCell = [](const Entry& e, const Key& k) { return e.cell < k; };
    for (std::size_t g = 0; g < entries.size();) {
        std::size_t groupEnd = g + 1;
        while (groupEnd < entries.size() && entries[groupEnd].cell == entries[g].cell &&
               entries[groupEnd].bits == entries[g].bits)
            ++groupEnd;
        const LPoint3 P = vertices[entries[g].index];

        matches.clear();
        // For each of the 9 (x, y) neighbour columns the three z cells are adjacent in the
        // sorted order: one search finds their start, a scan runs to the end of the last.
        const Key& cell = entries[g].cell;
        for (std::int64_t dx = -1; dx <= 1; ++dx)
            for (std::int64_t dy = -1; dy <= 1; ++dy) {
                const Key first{cell[0] + dx, cell[1] + dy, cell[2] - 1};
                const Key last{cell[0] + dx, cell[1] + dy, cell[2] + 1};
                for (auto e = std::lower_bound(candidates.begin(), candidates.end(), first, byCell);
                     e != candidates.end() && !(last < e->cell); ++e) {
                    if (++comparisons > maxComparisons) {
                        result.clear();
                        return false;
                    }
                    const LPoint3& Q = vertices[e->index];
                    if (NearOnAxis(Q.x, P.x) && NearOnAxis(Q.y, P.y) && NearOnAxis(Q.z, P.z))
                        matches.push_back(e->index);
                }
            }
        std::sort(matches.begin(), matches.end());

        LPoint3 sum{0.0f, 0.0f, 0.0f};
        for (std::uint32_t j : matches)
            for (std::uint32_t k = start[j]; k < start[j + 1]; ++k) sum = Add(sum, faceNormals[faceOf[k]]);
        const LPoint3 normal = Normalise(sum);
        for (std::size_t e = g; e < groupEnd; ++e) result[entries[e].index] = normal;
        g = groupEnd;
    }
    return true;
}

}  // namespace LOAD_3DS
