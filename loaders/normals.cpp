#include "loaders/normals.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

namespace LOAD_3DS {

namespace {

// Work (candidates compared plus faces added) up to which a position is summed at once; a
// position of more waits until the positions with the same matches are known.
constexpr std::uint64_t kLightWork = 256;

// Lattice spacing: twice the tolerance, so two positions within tolerance lie in the same or
// in adjacent cells on each axis, whatever the rounding of the division.
constexpr double kCell = 0.0002;

std::int64_t CellOf(float v) {
    const double q = std::floor(double(v) / kCell);
    return std::int64_t(std::clamp(q, -4.0e18, 4.0e18));
}

using Key = std::array<std::int64_t, 3>;

// A vertex (or a distinct position, by its first vertex) with its lattice cell and its bits.
struct Entry {
    Key cell;
    std::array<std::uint32_t, 3> bits;
    std::uint32_t index;
};

// Below this many vertices a sort by comparisons is cheaper than the radix sort's passes.
constexpr std::size_t kRadixFrom = std::size_t(1) << 16;

// Entries sorted by cell (x, then y, then z), then by bits, then by index. Many entries whose
// cells span fewer than 2^21 values on each axis (a model under 400 units across) by a stable
// radix sort of one 63-bit key (the index order of the input kept within a cell); others by
// comparisons.
void SortByCellThenBits(std::vector<Entry>& e) {
    const auto byBits = [](const Entry& a, const Entry& b) { return a.bits != b.bits ? a.bits < b.bits : a.index < b.index; };
    if (e.size() < 2) return;
    Key lo = e[0].cell, hi = e[0].cell;
    for (const Entry& x : e)
        for (std::size_t a = 0; a < 3; ++a) lo[a] = std::min(lo[a], x.cell[a]), hi[a] = std::max(hi[a], x.cell[a]);
    constexpr std::int64_t kSpan = std::int64_t(1) << 21;
    // (hi - lo) can overflow only for cells near both ends of the range: compare as unsigned.
    bool fits = true;
    for (std::size_t a = 0; a < 3; ++a) fits = fits && std::uint64_t(hi[a]) - std::uint64_t(lo[a]) < std::uint64_t(kSpan);
    if (!fits || e.size() < kRadixFrom) {
        std::sort(e.begin(), e.end(), [&](const Entry& a, const Entry& b) { return a.cell != b.cell ? a.cell < b.cell : byBits(a, b); });
        return;
    }
    std::vector<std::pair<std::uint64_t, std::uint32_t>> keys(e.size()), other(e.size());
    for (std::size_t k = 0; k < e.size(); ++k) {  // e is in ascending index order
        const Key& c = e[k].cell;
        keys[k] = {std::uint64_t(c[0] - lo[0]) << 42 | std::uint64_t(c[1] - lo[1]) << 21 | std::uint64_t(c[2] - lo[2]),
                   std::uint32_t(k)};
    }
    std::vector<std::size_t> count(65537);
    for (int shift = 0; shift < 63; shift += 16) {
        std::fill(count.begin(), count.end(), 0);
        for (const auto& k : keys) ++count[((k.first >> shift) & 0xFFFF) + 1];
        if (count[((keys[0].first >> shift) & 0xFFFF) + 1] == keys.size()) continue;  // one digit: order kept
        for (std::size_t d = 0; d < 65536; ++d) count[d + 1] += count[d];
        for (const auto& k : keys) other[count[(k.first >> shift) & 0xFFFF]++] = k;
        keys.swap(other);
    }
    std::vector<Entry> sorted(e.size());
    for (std::size_t k = 0; k < e.size(); ++k) sorted[k] = e[keys[k].second];
    // Entries sharing a cell (few, or copies of one position already in index order) by their
    // bits.
    for (std::size_t k = 0; k < sorted.size();) {
        std::size_t end = k + 1;
        while (end < sorted.size() && keys[end].first == keys[k].first) ++end;
        const auto first = sorted.begin() + std::ptrdiff_t(k), last = sorted.begin() + std::ptrdiff_t(end);
        if (end - k > 1 && !std::is_sorted(first, last, byBits)) std::sort(first, last, byBits);
        k = end;
    }
    e.swap(sorted);
}

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

float Coordinate(const LPoint3& p, int axis) { return axis == 0 ? p.x : axis == 1 ? p.y : p.z; }

// x, y, z of a sum of face normals, the number of its non-zero terms and the number of its
// not-a-number terms (kept apart so that they spoil only the sums that contain them).
using Sum5 = std::array<double, 5>;

// Sums of weighted points over boxes of rank space, all boxes at once: each box sum is split
// into four dominance queries (x below X and y below Y, z within the box), answered by
// divide and conquer over x with a merge over y and a Fenwick tree over z (Bentley 1980,
// "Multidimensional divide-and-conquer"; Fenwick 1994, "A new data structure for cumulative
// frequency tables"). O((n + q) log^2) time and O(n + q) memory for n points and q boxes.
struct RankBox {
    std::array<std::uint32_t, 3> lo, hi;  // ranks lo[a] <= r < hi[a] on each axis
};

class BoxSummer {
public:
    BoxSummer(const std::vector<std::array<std::uint32_t, 3>>& ranks, const std::vector<Sum5>& weights,
              const std::vector<RankBox>& boxes, std::uint32_t zSize)
        : weights_(weights), sums_(boxes.size(), Sum5{0.0, 0.0, 0.0, 0.0, 0.0}), fenwick_(std::size_t(zSize) + 1) {
        items_.reserve(ranks.size() + 4 * boxes.size());
        for (std::size_t p = 0; p < ranks.size(); ++p)
            items_.push_back({ranks[p][0], ranks[p][1], ranks[p][2], ranks[p][2], std::uint32_t(p), true, 1.0});
        for (std::size_t b = 0; b < boxes.size(); ++b) {
            const RankBox& box = boxes[b];
            if (box.lo[0] >= box.hi[0] || box.lo[1] >= box.hi[1] || box.lo[2] >= box.hi[2]) continue;
            // S(hx, hy) - S(hx, ly) - S(lx, hy) + S(lx, ly), S counting x < X and y < Y.
            for (int corner = 0; corner < 4; ++corner) {
                const std::uint32_t X = corner & 1 ? box.lo[0] : box.hi[0];
                const std::uint32_t Y = corner & 2 ? box.lo[1] : box.hi[1];
                const double sign = corner == 1 || corner == 2 ? -1.0 : 1.0;
                items_.push_back({X, Y, box.lo[2], box.hi[2], std::uint32_t(b), false, sign});
            }
        }
        // Along x; at equal x the queries first, so that a point counts only for larger X.
        std::sort(items_.begin(), items_.end(), [](const Item& a, const Item& b) {
            return a.x != b.x ? a.x < b.x : (!a.point && b.point);
        });
        scratch_.resize(items_.size());
        Solve(0, items_.size());
    }

    const std::vector<Sum5>& Sums() const { return sums_; }

private:
    struct Item {
        std::uint32_t x, y, zlo, zhi;  // a point has zlo = its z rank
        std::uint32_t who;             // point index or box index
        bool point;
        double sign;
    };

    // Points of [l, m) meet queries of [m, r): every such point has the smaller x.
    void Solve(std::size_t l, std::size_t r) {
        if (r - l < 2) return;
        const std::size_t m = l + (r - l) / 2;
        Solve(l, m);
        Solve(m, r);
        // Merge both halves by y; at equal y the right query goes first (y < Y is strict).
        std::size_t i = l, j = m, k = l;
        while (i < m || j < r) {
            if (j >= r || (i < m && items_[i].y < items_[j].y)) {
                const Item& a = items_[i++];
                if (a.point) Add(a.zlo, weights_[a.who]);
                scratch_[k++] = a;
            } else {
                const Item& b = items_[j++];
                if (!b.point) {
                    Sum5& out = sums_[b.who];
                    const Sum5 high = Prefix(b.zhi), low = Prefix(b.zlo);
                    for (std::size_t a = 0; a < 5; ++a) out[a] += b.sign * (high[a] - low[a]);
                }
                scratch_[k++] = b;
            }
        }
        // Reset the tree exactly (no subtraction residue), then keep the merged order.
        for (std::size_t t = l; t < m; ++t)
            if (items_[t].point) Clear(items_[t].zlo);
        std::copy(scratch_.begin() + std::ptrdiff_t(l), scratch_.begin() + std::ptrdiff_t(r),
                  items_.begin() + std::ptrdiff_t(l));
    }

    void Add(std::uint32_t z, const Sum5& w) {
        for (std::size_t n = std::size_t(z) + 1; n < fenwick_.size(); n += n & (~n + 1))
            for (std::size_t a = 0; a < 5; ++a) fenwick_[n][a] += w[a];
    }
    void Clear(std::uint32_t z) {
        for (std::size_t n = std::size_t(z) + 1; n < fenwick_.size(); n += n & (~n + 1))
            fenwick_[n] = {0.0, 0.0, 0.0, 0.0, 0.0};
    }
    // The weights of the points with z rank below Z.
    Sum5 Prefix(std::uint32_t Z) const {
        Sum5 s{0.0, 0.0, 0.0, 0.0, 0.0};
        for (std::size_t n = Z; n > 0; n -= n & (~n + 1))
            for (std::size_t a = 0; a < 5; ++a) s[a] += fenwick_[n][a];
        return s;
    }

    const std::vector<Sum5>& weights_;
    std::vector<Sum5> sums_;
    std::vector<Sum5> fenwick_;
    std::vector<Item> items_;
    std::vector<Item> scratch_;
};

// The ranks, among the sorted distinct values, of the values that match c on one axis: the
// match |fl(q - c)| < 0.0001 holds on an interval of q around c, because rounded subtraction
// is monotone, so the matching values are one run of the sorted list.
std::pair<std::uint32_t, std::uint32_t> MatchingRanks(const std::vector<float>& values, float c) {
    const auto lo = std::partition_point(values.begin(), values.end(),
                                         [c](float q) { return q < c && !NearOnAxis(q, c); });
    const auto hi = std::partition_point(lo, values.end(), [c](float q) { return q <= c || NearOnAxis(q, c); });
    return {std::uint32_t(lo - values.begin()), std::uint32_t(hi - values.begin())};
}

// The finite vertices sorted by cell, then by bits, then by index. Many vertices by the radix
// sort, whose cost stays linear however many share a position. Fewer (every 3DS mesh) by their
// distinct positions, found first by a hash of their bits: only those are sorted, so a file of
// many vertices at few positions (a truncated file's zeros) costs a linear pass, not a sort of
// all its vertices under the comparisons.
std::vector<Entry> SortedEntries(const std::vector<LPoint3>& vertices) {
    const std::size_t V = vertices.size();
    std::vector<Entry> entries;
    if (V >= kRadixFrom) {
        entries.reserve(V);
        for (std::size_t i = 0; i < V; ++i) {
            const LPoint3& p = vertices[i];
            if (Finite(p)) entries.push_back({{CellOf(p.x), CellOf(p.y), CellOf(p.z)}, Bits(p), std::uint32_t(i)});
        }
        SortByCellThenBits(entries);
        return entries;
    }
    constexpr std::uint32_t kNone = ~0u;
    std::vector<Entry> positions;                    // one per distinct position, its first vertex
    std::vector<std::uint32_t> positionOf(V, kNone);  // per finite vertex, its position's number
    std::vector<std::uint32_t> verticesAt;            // per position number, its vertex count
    {
        std::size_t size = 16;
        int shift = 60;  // 64 - log2(size): the slot is the top bits of the mixed hash
        while (size < 2 * V) size <<= 1, --shift;
        std::vector<std::uint32_t> slots(size, kNone);
        positions.reserve(V);
        verticesAt.reserve(V);
        for (std::size_t i = 0; i < V; ++i) {
            const LPoint3& p = vertices[i];
            if (!Finite(p)) continue;
            const std::array<std::uint32_t, 3> b = Bits(p);
            // Coordinates often end in zero bits (values on a coarse step), so the words are
            // mixed (Steele et al. 2014, "Fast splittable pseudorandom number generators") and
            // the slot taken from the top bits.
            std::uint64_t h = (std::uint64_t(b[0]) << 32 | b[1]) ^ (std::uint64_t(b[2]) * 0x9E3779B97F4A7C15ull);
            h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ull;
            h = (h ^ (h >> 27)) * 0x94D049BB133111EBull;
            for (std::size_t slot = std::size_t(h >> shift);; slot = (slot + 1) & (size - 1)) {
                if (slots[slot] == kNone) {
                    slots[slot] = positionOf[i] = std::uint32_t(positions.size());
                    positions.push_back({{CellOf(p.x), CellOf(p.y), CellOf(p.z)}, b, std::uint32_t(i)});
                    verticesAt.push_back(1);
                    break;
                }
                const std::array<std::uint32_t, 3>& have = positions[slots[slot]].bits;
                if (have[0] == b[0] && have[1] == b[1] && have[2] == b[2]) {
                    positionOf[i] = slots[slot];
                    ++verticesAt[slots[slot]];
                    break;
                }
            }
        }
    }
    SortByCellThenBits(positions);
    // Each position's place in entries (by position number), then every finite vertex there in
    // ascending order (nothing to do where every position has one vertex).
    if (positions.size() + std::size_t(std::count(positionOf.begin(), positionOf.end(), kNone)) == V) {
        entries.swap(positions);
    } else {
        std::vector<std::uint32_t> sortedAt(positions.size()), next(positions.size());
        std::uint32_t at = 0;
        for (std::size_t k = 0; k < positions.size(); ++k) {
            const std::uint32_t number = positionOf[positions[k].index];
            sortedAt[number] = std::uint32_t(k);
            next[number] = at;
            at += verticesAt[number];
        }
        entries.resize(V - std::size_t(std::count(positionOf.begin(), positionOf.end(), kNone)));
        for (std::size_t i = 0; i < V; ++i) {
            const std::uint32_t number = positionOf[i];
            if (number == kNone) continue;
            Entry& e = entries[next[number]++];
            e = positions[sortedAt[number]];
            e.index = std::uint32_t(i);
        }
        std::vector<Entry>().swap(positions);
    }
    return entries;
}

// One SmoothNormals call, step by step: every face normal once; the faces of every vertex; the
// finite vertices sorted by cell; one sum per distinct position, at once where it is light,
// later where it is heavy (the positions of a cluster, or the shared corner of very many faces).
class NormalSums {
public:
    NormalSums(const std::vector<LPoint3>& vertices, const std::vector<LFace>& faces, std::size_t exactWorkPerVertex)
        : vertices_(vertices), exactWorkPerVertex_(exactWorkPerVertex), result_(vertices.size(), LPoint3{0.0f, 0.0f, 0.0f}) {
        if (vertices.empty()) return;
        // 1. Every face normal once.
        faceNormals_.resize(faces.size());
        for (std::size_t f = 0; f < faces.size(); ++f) faceNormals_[f] = FaceNormal(vertices, faces[f]);
        ListFaces(faces);
        SelectCandidates();
        SumLightPositions();
        if (!heavy_.empty()) SumHeavyPositions();
    }

    std::vector<LPoint3>& Result() { return result_; }

private:
    using Ranges = std::array<std::pair<std::size_t, std::size_t>, 9>;
    // A position left to step 5.
    struct Heavy {
        std::size_t first, end;  // entries of the position
        std::uint64_t work;
        Ranges ranges;
    };
    // The candidates' (x, y) columns in sorted order, each a run of candidates sorted by z.
    struct Column {
        std::int64_t x, y;
        std::size_t begin, end;
    };

    // 2. Vertex-to-face lists (compressed rows), faces ascending, a face once per vertex.
    void ListFaces(const std::vector<LFace>& faces) {
        const std::size_t V = vertices_.size();
        start_.assign(V + 1, 0);
        const auto corners = [&](const LFace& f, int out[3]) {
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
            for (int k = 0; k < n; ++k) ++start_[std::size_t(c[k]) + 1];
        }
        for (std::size_t i = 0; i < V; ++i) start_[i + 1] += start_[i];
        faceOf_.resize(start_[V]);
        std::vector<std::uint32_t> fill(start_.begin(), start_.end() - 1);
        for (std::size_t f = 0; f < faces.size(); ++f) {
            int c[3];
            const int n = corners(faces[f], c);
            for (int k = 0; k < n; ++k) faceOf_[fill[std::size_t(c[k])]++] = std::uint32_t(f);
        }
    }

    // 3. Finite vertices sorted by cell, then by exact position, then by index; a vertex with a
    //    non-finite coordinate matches nothing, itself included, and keeps the zero normal.
    //    Only vertices that are corners of some face can add anything to a sum; degreeBefore[k]
    //    is the number of face entries of the candidates before candidate k.
    void SelectCandidates() {
        entries_ = SortedEntries(vertices_);
        candidates_.reserve(entries_.size());
        for (const Entry& e : entries_)
            if (start_[e.index + 1] > start_[e.index]) candidates_.push_back(e);
        degreeBefore_.assign(candidates_.size() + 1, 0);
        for (std::size_t k = 0; k < candidates_.size(); ++k)
            degreeBefore_[k + 1] = degreeBefore_[k] + (start_[candidates_[k].index + 1] - start_[candidates_[k].index]);
        covering_.assign(candidates_.size() + 1, 0);
    }

    // The sum in the definition's order of the matches of P among the ranges' candidates.
    LPoint3 ExactSum(const LPoint3& P, const Ranges& ranges) {
        LPoint3 sum{0.0f, 0.0f, 0.0f};
        matches_.clear();
        for (const auto& [a, b] : ranges)
            for (std::size_t k = a; k < b; ++k) {
                const LPoint3& Q = vertices_[candidates_[k].index];
                if (NearOnAxis(Q.x, P.x) && NearOnAxis(Q.y, P.y) && NearOnAxis(Q.z, P.z)) matches_.push_back(candidates_[k].index);
            }
        std::sort(matches_.begin(), matches_.end());
        for (std::uint32_t j : matches_)
            for (std::uint32_t k = start_[j]; k < start_[j + 1]; ++k) sum = Add(sum, faceNormals_[faceOf_[k]]);
        return Normalise(sum);
    }

    // 4. One sum per distinct position over the matching candidates of the 27 neighbouring
    //    cells. A position whose work in the definition's order (each candidate compared, each
    //    face of each match added) is small is summed at once: the matches in ascending index
    //    order, each adding its faces in ascending order. The others wait for step 5.
    void SumLightPositions() {
        matches_.reserve(64);
        // The columns come in the same order as the positions, so for each x offset the first
        // neighbour column only moves forward: finding the 9 neighbour columns is a walk, not a
        // search, and only the z range inside a (short) column is searched.
        std::vector<Column> columns;
        for (std::size_t k = 0; k < candidates_.size(); ++k) {
            const Key& c = candidates_[k].cell;
            if (columns.empty() || columns.back().x != c[0] || columns.back().y != c[1]) columns.push_back({c[0], c[1], k, k});
            columns.back().end = k + 1;
        }
        const auto sameCell = [](const Entry& a, const Entry& b) {
            return a.cell[0] == b.cell[0] && a.cell[1] == b.cell[1] && a.cell[2] == b.cell[2];
        };
        const auto sameBits = [](const Entry& a, const Entry& b) {
            return a.bits[0] == b.bits[0] && a.bits[1] == b.bits[1] && a.bits[2] == b.bits[2];
        };
        std::size_t walk[3] = {0, 0, 0};  // per x offset: the first column not below (x + dx, y - 1)
        for (std::size_t g = 0; g < entries_.size();) {
            std::size_t groupEnd = g + 1;
            while (groupEnd < entries_.size() && sameCell(entries_[groupEnd], entries_[g]) && sameBits(entries_[groupEnd], entries_[g]))
                ++groupEnd;
            Ranges ranges;
            const std::uint64_t work = NeighbourRanges(entries_[g].cell, columns, walk, ranges);
            if (work <= std::min<std::uint64_t>(kLightWork, std::uint64_t(exactWorkPerVertex_) * (groupEnd - g))) {
                const LPoint3 normal = ExactSum(vertices_[entries_[g].index], ranges);
                for (std::size_t e = g; e < groupEnd; ++e) result_[entries_[e].index] = normal;
            } else {
                heavy_.push_back({g, groupEnd, work, ranges});
                // Mark the ranges: only their candidates can match a heavy position.
                for (const auto& [a, b] : ranges) {
                    ++covering_[a];
                    --covering_[b];
                }
            }
            g = groupEnd;
        }
    }

    // For each of the 9 (x, y) neighbour columns of a cell the three z cells are adjacent in the
    // sorted order: one range of candidates each. Returns the work of summing them in the
    // definition's order.
    std::uint64_t NeighbourRanges(const Key& cell, const std::vector<Column>& columns, std::size_t walk[3], Ranges& ranges) const {
        const auto columnBelow = [](const Column& c, std::int64_t x, std::int64_t y) { return c.x < x || (c.x == x && c.y < y); };
        const auto zBelow = [](const Entry& e, std::int64_t z) { return e.cell[2] < z; };
        const auto zAbove = [](std::int64_t z, const Entry& e) { return z < e.cell[2]; };
        std::uint64_t work = 0;
        int r = 0;
        for (std::int64_t dx = -1; dx <= 1; ++dx) {
            // Cells beyond the 64-bit lattice range were clamped; an offset never wraps.
            const std::int64_t x = cell[0] + dx;
            std::size_t& w = walk[std::size_t(dx + 1)];
            while (w < columns.size() && columnBelow(columns[w], x, cell[1] - 1)) ++w;
            std::size_t q = w;
            for (std::int64_t dy = -1; dy <= 1; ++dy, ++r) {
                const std::int64_t y = cell[1] + dy;
                while (q < columns.size() && columnBelow(columns[q], x, y)) ++q;
                std::size_t a = 0, b = 0;
                if (q < columns.size() && columns[q].x == x && columns[q].y == y) {
                    const auto first = candidates_.begin() + std::ptrdiff_t(columns[q].begin);
                    const auto last = candidates_.begin() + std::ptrdiff_t(columns[q].end);
                    const auto lo = std::lower_bound(first, last, cell[2] - 1, zBelow);
                    const auto hi = std::upper_bound(lo, last, cell[2] + 1, zAbove);
                    a = std::size_t(lo - candidates_.begin());
                    b = std::size_t(hi - candidates_.begin());
                }
                ranges[std::size_t(r)] = {a, b};
                work += (b - a) + (degreeBefore_[b] - degreeBefore_[a]);
            }
        }
        return work;
    }

    // 5. Heavy positions. The candidates that match a position form a box in the ranks of the
    //    coordinates (on each axis the matching values are one run of the sorted values), so
    //    positions with the same box have the same matches and the same sum: it is made once.
    //    A box whose work in the definition's order stays within the allowance of all the
    //    vertices sharing it is summed in that order (a cluster of many distinct positions,
    //    all within the tolerance of each other, costs one sum). Beyond it the box is crowded:
    //    each candidate near one weighs the sum of its faces in ascending order, and the
    //    weights in each crowded box are added in double precision by the box summer.
    void SumHeavyPositions() {
        std::int64_t depth = 0;
        for (std::size_t k = 0; k < candidates_.size(); ++k)
            if ((depth += covering_[k]) > 0) near_.push_back(candidates_[k]);
        for (int a = 0; a < 3; ++a) {
            std::vector<float>& v = values_[std::size_t(a)];
            for (const Entry& e : near_) v.push_back(Coordinate(vertices_[e.index], a));
            std::sort(v.begin(), v.end());
            v.erase(std::unique(v.begin(), v.end()), v.end());
        }
        std::vector<RankBox> heavyBoxes(heavy_.size());
        for (std::size_t h = 0; h < heavy_.size(); ++h) {
            const LPoint3& P = vertices_[entries_[heavy_[h].first].index];
            for (int a = 0; a < 3; ++a) {
                const auto [lo, hi] = MatchingRanks(values_[std::size_t(a)], Coordinate(P, a));
                heavyBoxes[h].lo[std::size_t(a)] = lo;
                heavyBoxes[h].hi[std::size_t(a)] = hi;
            }
        }
        const auto boxKey = [&](std::size_t h) {
            const RankBox& b = heavyBoxes[h];
            return std::array<std::uint32_t, 6>{b.lo[0], b.lo[1], b.lo[2], b.hi[0], b.hi[1], b.hi[2]};
        };
        std::vector<std::uint32_t> byBox(heavy_.size());
        for (std::size_t h = 0; h < heavy_.size(); ++h) byBox[h] = std::uint32_t(h);
        std::sort(byBox.begin(), byBox.end(), [&](std::uint32_t a, std::uint32_t b) {
            const auto ka = boxKey(a), kb = boxKey(b);
            return ka != kb ? ka < kb : a < b;
        });
        std::vector<std::pair<std::size_t, std::size_t>> crowded;  // runs of byBox left to the summer
        std::vector<RankBox> boxes;
        for (std::size_t run = 0; run < byBox.size();) {
            std::size_t runEnd = run + 1;
            std::uint64_t vertexCount = heavy_[byBox[run]].end - heavy_[byBox[run]].first;
            while (runEnd < byBox.size() && boxKey(byBox[runEnd]) == boxKey(byBox[run])) {
                vertexCount += heavy_[byBox[runEnd]].end - heavy_[byBox[runEnd]].first;
                ++runEnd;
            }
            // The cheapest of the run's positions gathers the matches (their ranges differ,
            // their matches do not).
            std::size_t cheapest = run;
            for (std::size_t k = run + 1; k < runEnd; ++k)
                if (heavy_[byBox[k]].work < heavy_[byBox[cheapest]].work) cheapest = k;
            const Heavy& rep = heavy_[byBox[cheapest]];
            if (rep.work <= std::uint64_t(exactWorkPerVertex_) * vertexCount) {
                SetRun(byBox, run, runEnd, ExactSum(vertices_[entries_[rep.first].index], rep.ranges));
            } else {
                crowded.push_back({run, runEnd});
                boxes.push_back(heavyBoxes[byBox[run]]);
            }
            run = runEnd;
        }
        if (!crowded.empty()) SumCrowded(byBox, crowded, boxes);
    }

    // The normal of every vertex of the heavy positions byBox[run .. runEnd).
    void SetRun(const std::vector<std::uint32_t>& byBox, std::size_t run, std::size_t runEnd, const LPoint3& normal) {
        for (std::size_t k = run; k < runEnd; ++k)
            for (std::size_t e = heavy_[byBox[k]].first; e < heavy_[byBox[k]].end; ++e) result_[entries_[e].index] = normal;
    }

    // The crowded boxes' sums by the box summer, in double precision.
    void SumCrowded(const std::vector<std::uint32_t>& byBox, const std::vector<std::pair<std::size_t, std::size_t>>& crowded,
                    const std::vector<RankBox>& boxes) {
        std::vector<std::array<std::uint32_t, 3>> ranks;
        std::vector<Sum5> weights;
        ranks.reserve(near_.size());
        weights.reserve(near_.size());
        for (const Entry& e : near_) {
            const LPoint3& q = vertices_[e.index];
            std::array<std::uint32_t, 3> r;
            for (int a = 0; a < 3; ++a) {
                const std::vector<float>& v = values_[std::size_t(a)];
                r[std::size_t(a)] = std::uint32_t(std::lower_bound(v.begin(), v.end(), Coordinate(q, a)) - v.begin());
            }
            LPoint3 w{0.0f, 0.0f, 0.0f};
            for (std::uint32_t k = start_[e.index]; k < start_[e.index + 1]; ++k) w = Add(w, faceNormals_[faceOf_[k]]);
            ranks.push_back(r);
            // Face normals have length 1, 0 or not a number, so a sum of them is finite or not a number.
            const bool nan = std::isnan(w.x) || std::isnan(w.y) || std::isnan(w.z);
            const bool zero = w.x == 0.0f && w.y == 0.0f && w.z == 0.0f;
            if (nan)
                weights.push_back({0.0, 0.0, 0.0, 0.0, 1.0});
            else
                weights.push_back({double(w.x), double(w.y), double(w.z), zero ? 0.0 : 1.0, 0.0});
        }
        const BoxSummer summer(ranks, weights, boxes, std::uint32_t(values_[2].size()));
        for (std::size_t c = 0; c < crowded.size(); ++c) {
            const Sum5& s = summer.Sums()[c];
            // Counts are exact in double. A term that is not a number spoils the whole sum, as in
            // the running sum; no non-zero term means the zero sum, not a rounding residue.
            const float nan = std::numeric_limits<float>::quiet_NaN();
            LPoint3 sum{float(s[0]), float(s[1]), float(s[2])};
            if (s[4] > 0.5)
                sum = {nan, nan, nan};
            else if (s[3] < 0.5)
                sum = {0.0f, 0.0f, 0.0f};
            SetRun(byBox, crowded[c].first, crowded[c].second, Normalise(sum));
        }
    }

    const std::vector<LPoint3>& vertices_;
    const std::size_t exactWorkPerVertex_;
    std::vector<LPoint3> result_;
    std::vector<LPoint3> faceNormals_;
    std::vector<std::uint32_t> start_, faceOf_;  // the faces of vertex i: faceOf_[start_[i] .. start_[i + 1])
    std::vector<Entry> entries_, candidates_;
    std::vector<std::uint64_t> degreeBefore_;
    std::vector<std::int64_t> covering_;  // range starts minus range ends
    std::vector<std::uint32_t> matches_;
    std::vector<Heavy> heavy_;
    std::vector<Entry> near_;  // the candidates that may match a heavy position
    std::array<std::vector<float>, 3> values_;  // their distinct coordinates, sorted, per axis
};

}  // namespace

LPoint3 FaceNormal(const std::vector<LPoint3>& vertices, const LFace& face) {
    const LPoint3 A = Corner(vertices, face.a);
    const LPoint3 B = Corner(vertices, face.b);
    const LPoint3 C = Corner(vertices, face.c);
    return Normalise(Cross(Subtract(B, C), Subtract(B, A)));
}

std::vector<LPoint3> SmoothNormals(const std::vector<LPoint3>& vertices, const std::vector<LFace>& faces,
                                   std::size_t exactWorkPerVertex) {
    NormalSums sums(vertices, faces, exactWorkPerVertex);
    return std::move(sums.Result());
}

}  // namespace LOAD_3DS
