#include "loaders/crease.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>

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

class CreaseSums {
public:
    CreaseSums(const std::vector<LPoint3>& positions, const std::vector<LFace>& faces, float creaseDegrees)
        : positions_(positions), faces_(faces), result_(faces.size() * 3, LPoint3{0.0f, 0.0f, 0.0f}) {
        const double degrees = std::isfinite(creaseDegrees) ? std::clamp(double(creaseDegrees), 0.0, 180.0) : 180.0;
        // A little below the cosine, so that faces of one plane, whose normals differ by their
        // rounding, count as meeting at 0 degrees.
        cosLimit_ = std::cos(degrees * 3.14159265358979323846 / 180.0) - 1e-6;
        FaceNormals();
        GroupCorners();
        for (std::size_t p = 0; p + 1 < start_.size(); ++p) SumPosition(start_[p], start_[p + 1]);
    }
    std::vector<LPoint3>& Result() { return result_; }

private:
    Vec CornerPosition(int v) const {
        return v >= 0 && std::size_t(v) < positions_.size() ? AsVec(positions_[std::size_t(v)]) : Vec{};
    }
    int CornerIndex(const LFace& f, std::uint32_t k) const { return k == 0 ? f.a : k == 1 ? f.b : f.c; }

    // Unit normals cross(B - C, B - A) (zero for a face of no area) and each corner's angle.
    void FaceNormals() {
        normals_.resize(faces_.size());
        angles_.resize(faces_.size() * 3, 0.0);
        for (std::size_t f = 0; f < faces_.size(); ++f) {
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

    // The corners grouped by their position's bits: the vertices sorted by bits give each
    // position an id, and a counting sort lists each position's corners as one run (a corner
    // outside the vertex list in a run of its own).
    void GroupCorners() {
        const std::size_t V = positions_.size(), corners = faces_.size() * 3;
        std::vector<Key> keys(V);
        std::vector<std::uint32_t> order(V);
        for (std::size_t v = 0; v < V; ++v) keys[v] = BitsOf(positions_[v]), order[v] = std::uint32_t(v);
        std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; });
        std::vector<std::uint32_t> id(V);
        std::uint32_t ids = 0;
        for (std::size_t k = 0; k < V; ++k) id[order[k]] = k > 0 && keys[order[k]] == keys[order[k - 1]] ? ids - 1 : ids++;
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
    void SumPosition(std::size_t from, std::size_t to) {
        entries_.clear();
        Vec all;
        for (std::size_t k = from; k < to; ++k) {
            const std::uint32_t c = order_[k], f = c / 3;
            if (Dot(normals_[f], normals_[f]) == 0.0) continue;
            entries_.push_back({f, c % 3, angles_[c]});
            all = all + normals_[f] * angles_[c];
        }
        if (entries_.size() <= kCreaseExactFaces) {
            for (const Entry& e : entries_) {
                Vec sum;
                for (const Entry& g : entries_)
                    if (Dot(normals_[e.face], normals_[g.face]) >= cosLimit_) sum = sum + normals_[g.face] * g.weight;
                Set(e, sum);
            }
        } else {
            SumByCells();
        }
        // Faces of no area: the mean of the faces around.
        const LPoint3 mean = Unit(all);
        for (std::size_t k = from; k < to; ++k)
            if (Dot(normals_[order_[k] / 3], normals_[order_[k] / 3]) == 0.0) result_[order_[k]] = mean;
    }

    // Many faces at one position: summed per cell of directions first.
    void SumByCells() {
        cellSums_.assign(std::size_t(kCells) * kCells, Vec{});
        used_.clear();
        for (const Entry& e : entries_) {
            const int cell = CellOf(normals_[e.face]);
            Vec& s = cellSums_[std::size_t(cell)];
            if (Dot(s, s) == 0.0) used_.push_back(cell);
            s = s + normals_[e.face] * e.weight;
        }
        directions_.clear();
        for (int cell : used_) {
            const LPoint3 d = Unit(cellSums_[std::size_t(cell)]);
            directions_.push_back({d.x, d.y, d.z});
        }
        for (const Entry& e : entries_) {
            Vec sum;
            for (std::size_t k = 0; k < used_.size(); ++k)
                if (Dot(normals_[e.face], directions_[k]) >= cosLimit_) sum = sum + cellSums_[std::size_t(used_[k])];
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
    std::vector<Entry> entries_;
    std::vector<Vec> cellSums_, directions_;
    std::vector<int> used_;
};

}  // namespace

std::vector<LPoint3> CreaseNormals(const std::vector<LPoint3>& positions, const std::vector<LFace>& faces,
                                   float creaseDegrees) {
    CreaseSums sums(positions, faces, creaseDegrees);
    return std::move(sums.Result());
}

}  // namespace LOAD_3DS
