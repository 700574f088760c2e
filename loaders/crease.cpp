#include "loaders/crease.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>

#include "math/parallel.h"

namespace LOAD_3DS {

namespace {

using Key = std::array<std::uint32_t, 3>;

Key BitsOf(const LPoint3& p) {
    Key k;
    const float c[3] = {p.x == 0.0f ? 0.0f : p.x, p.y == 0.0f ? 0.0f : p.y, p.z == 0.0f ? 0.0f : p.z};
    std::memcpy(k.data(), c, sizeof c);
    return k;
}

struct Vec {
    double x = 0.0, y = 0.0, z = 0.0;
};
Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec operator*(Vec a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double Dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec CrossOf(Vec a, Vec b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
Vec AsVec(const LPoint3& p) { return {p.x, p.y, p.z}; }
LPoint3 AsPoint(Vec v) { return {float(v.x), float(v.y), float(v.z)}; }
LPoint3 Unit(Vec v) {
    const double l = std::sqrt(Dot(v, v));
    if (!(l > 0.0) || !std::isfinite(l)) return {0.0f, 0.0f, 0.0f};
    return {float(v.x / l), float(v.y / l), float(v.z / l)};
}

// A face's corner at one position: the face, which of its corners, and the corner's weight.
struct Entry {
    std::uint32_t face;
    std::uint32_t corner;
    double weight;
};

// The cell of a unit direction on a 64 x 64 octahedral map of the sphere (cells of about 3
// degrees).
constexpr int kCells = 64;
int CellOf(Vec n) {
    const double s = std::fabs(n.x) + std::fabs(n.y) + std::fabs(n.z);
    double u = n.x / s, v = n.y / s;
    if (n.z < 0.0) {
        const double fu = (1.0 - std::fabs(v)) * (u < 0.0 ? -1.0 : 1.0);
        const double fv = (1.0 - std::fabs(u)) * (v < 0.0 ? -1.0 : 1.0);
        u = fu;
        v = fv;
    }
    const auto cell = [](double t) { return std::clamp(int((t + 1.0) * 0.5 * kCells), 0, kCells - 1); };
    return cell(u) * kCells + cell(v);
}

// The per-thread scratch of the sums at one position.
struct Scratch {
    std::vector<Entry> entries;
    std::vector<Vec> cellSums, directions;
    std::vector<int> used;
};

// Positions and faces per thread at least: a small mesh stays on one thread.
constexpr long long kItemsPerPart = 16384;

class CreaseSums {
public:
    CreaseSums(const std::vector<LPoint3>& positions, const std::vector<LFace>& faces, float creaseDegrees)
        : positions_(positions), faces_(faces), result_(faces.size() * 3, LPoint3{0.0f, 0.0f, 0.0f}) {
        const double degrees = std::isfinite(creaseDegrees) ? std::clamp(double(creaseDegrees), 0.0, 180.0) : 180.0;
        // A little below the cosine, so that faces of one plane, whose normals differ by their
        // rounding, count as meeting at 0 degrees.
        cosLimit_ = std::cos(degrees * 3.14159265358979323846 / 180.0) - 1e-6;
        // Faces, then positions, split over threads: each writes only its own faces' normals
        // and angles, then only its own positions' corners, so the result is that of one thread.
        const long long F = static_cast<long long>(faces_.size());
        normals_.resize(faces_.size());
        angles_.resize(faces_.size() * 3, 0.0f);
        const int faceParts = ORVA_MATH::PartCount(0, F, kItemsPerPart);
        ORVA_MATH::RunParts(faceParts, [&](int part) {
            FaceNormals(std::size_t(ORVA_MATH::PartBegin(F, faceParts, part)),
                        std::size_t(ORVA_MATH::PartBegin(F, faceParts, part + 1)));
        });
        GroupCorners();
        const long long P = static_cast<long long>(start_.size()) - 1;
        const int parts = ORVA_MATH::PartCount(0, P, kItemsPerPart);
        ORVA_MATH::RunParts(parts, [&](int part) {
            Scratch scratch;
            const auto end = std::size_t(ORVA_MATH::PartBegin(P, parts, part + 1));
            for (auto p = std::size_t(ORVA_MATH::PartBegin(P, parts, part)); p < end; ++p)
                SumPosition(start_[p], start_[p + 1], scratch);
        });
    }
    std::vector<LPoint3>& Result() { return result_; }

private:
    Vec CornerPosition(int v) const {
        return v >= 0 && std::size_t(v) < positions_.size() ? AsVec(positions_[std::size_t(v)]) : Vec{};
    }
    int CornerIndex(const LFace& f, std::uint32_t k) const { return k == 0 ? f.a : k == 1 ? f.b : f.c; }

    // Unit normals cross(B - C, B - A) (zero for a face of no area) and each corner's angle.
    void FaceNormals(std::size_t from, std::size_t to) {
        for (std::size_t f = from; f < to; ++f) {
            const Vec c[3] = {CornerPosition(faces_[f].a), CornerPosition(faces_[f].b), CornerPosition(faces_[f].c)};
            const LPoint3 n = Unit(CrossOf(c[1] - c[2], c[1] - c[0]));
            normals_[f] = {n.x, n.y, n.z};
            if (Dot(normals_[f], normals_[f]) == 0.0) continue;
            for (int k = 0; k < 3; ++k) {
                const Vec u = c[(k + 1) % 3] - c[k], v = c[(k + 2) % 3] - c[k];
                const double l = std::sqrt(Dot(u, u) * Dot(v, v));
                angles_[3 * f + std::size_t(k)] = l > 0.0 ? float(std::acos(std::clamp(Dot(u, v) / l, -1.0, 1.0))) : 0.0f;
            }
        }
    }

    // The corners grouped by their position's bits: an open-addressed table of the positions
    // gives each distinct one an id, and a counting sort lists each position's corners as one
    // run, in corner order (a corner outside the vertex list in a run of its own).
    void GroupCorners() {
        const std::size_t V = positions_.size(), corners = faces_.size() * 3;
        std::vector<std::uint32_t> id(V);
        std::size_t size = 16;
        while (size < 2 * V) size <<= 1;
        std::vector<std::uint32_t> slot(size, ~0u);
        std::uint32_t ids = 0;
        for (std::size_t v = 0; v < V; ++v) {
            const Key key = BitsOf(positions_[v]);
            std::uint64_t h = (key[0] * 0x9E3779B97F4A7C15ull) ^ (key[1] * 0xBF58476D1CE4E5B9ull) ^ (key[2] * 0x94D049BB133111EBull);
            h ^= h >> 29;
            for (std::size_t s = std::size_t(h) & (size - 1);; s = (s + 1) & (size - 1)) {
                if (slot[s] == ~0u) {
                    slot[s] = std::uint32_t(v);
                    id[v] = ids++;
                    break;
                }
                if (BitsOf(positions_[slot[s]]) == key) {
                    id[v] = id[slot[s]];
                    break;
                }
            }
        }
        std::vector<std::uint32_t>().swap(slot);
        const auto positionOf = [&](std::size_t c) {
            const int v = CornerIndex(faces_[c / 3], std::uint32_t(c % 3));
            return v >= 0 && std::size_t(v) < V ? id[std::size_t(v)] : ids;
        };
        start_.assign(std::size_t(ids) + 2, 0);
        for (std::size_t c = 0; c < corners; ++c) ++start_[positionOf(c) + 1];
        std::partial_sum(start_.begin(), start_.end(), start_.begin());
        order_.resize(corners);
        std::vector<std::size_t> fill(start_.begin(), start_.end() - 1);
        for (std::size_t c = 0; c < corners; ++c) order_[fill[positionOf(c)]++] = std::uint32_t(c);
    }

    // The corners order_[from .. to) share one position.
    void SumPosition(std::size_t from, std::size_t to, Scratch& scratch) {
        std::vector<Entry>& entries = scratch.entries;
        entries.clear();
        Vec all;
        for (std::size_t k = from; k < to; ++k) {
            const std::uint32_t c = order_[k], f = c / 3;
            if (Dot(normals_[f], normals_[f]) == 0.0) continue;
            entries.push_back({f, c % 3, angles_[c]});
            all = all + normals_[f] * angles_[c];
        }
        if (entries.size() <= kCreaseExactFaces) {
            for (const Entry& e : entries) {
                Vec sum;
                for (const Entry& g : entries)
                    if (Dot(normals_[e.face], normals_[g.face]) >= cosLimit_) sum = sum + normals_[g.face] * g.weight;
                Set(e, sum);
            }
        } else {
            SumByCells(scratch);
        }
        // Faces of no area: the mean of the faces around.
        const LPoint3 mean = Unit(all);
        for (std::size_t k = from; k < to; ++k)
            if (Dot(normals_[order_[k] / 3], normals_[order_[k] / 3]) == 0.0) result_[order_[k]] = mean;
    }

    // Many faces at one position: summed per cell of directions first.
    void SumByCells(Scratch& scratch) {
        scratch.cellSums.assign(std::size_t(kCells) * kCells, Vec{});
        scratch.used.clear();
        for (const Entry& e : scratch.entries) {
            const int cell = CellOf(normals_[e.face]);
            Vec& s = scratch.cellSums[std::size_t(cell)];
            if (Dot(s, s) == 0.0) scratch.used.push_back(cell);
            s = s + normals_[e.face] * e.weight;
        }
        scratch.directions.clear();
        for (int cell : scratch.used) {
            const LPoint3 d = Unit(scratch.cellSums[std::size_t(cell)]);
            scratch.directions.push_back({d.x, d.y, d.z});
        }
        for (const Entry& e : scratch.entries) {
            Vec sum;
            for (std::size_t k = 0; k < scratch.used.size(); ++k)
                if (Dot(normals_[e.face], scratch.directions[k]) >= cosLimit_) sum = sum + scratch.cellSums[std::size_t(scratch.used[k])];
            Set(e, sum);
        }
    }

    void Set(const Entry& e, Vec sum) {
        // Its own face is always within the crease: a sum that cancels falls back to it.
        const LPoint3 n = Unit(sum);
        result_[3 * std::size_t(e.face) + e.corner] =
            n.x == 0.0f && n.y == 0.0f && n.z == 0.0f ? AsPoint(normals_[e.face]) : n;
    }

    const std::vector<LPoint3>& positions_;
    const std::vector<LFace>& faces_;
    std::vector<LPoint3> result_;
    double cosLimit_ = -1.0;
    std::vector<Vec> normals_;
    std::vector<float> angles_;
    std::vector<std::uint32_t> order_;
    std::vector<std::size_t> start_;
};

}  // namespace

std::vector<LPoint3> CreaseNormals(const std::vector<LPoint3>& positions, const std::vector<LFace>& faces,
                                   float creaseDegrees) {
    CreaseSums sums(positions, faces, creaseDegrees);
    return std::move(sums.Result());
}

}  // namespace LOAD_3DS
