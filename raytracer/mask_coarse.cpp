// A coarse mask frame's window bytes from the mask of every second pixel each way: each window
// pixel takes the value of the traced pixel, of the up to four within one pixel each way,
// nearest to it in the preview's depth (without the depth: the one at or below left of it), so
// that shadows keep to their own surfaces at silhouettes; a pixel whose nearest such neighbour
// is more than 5% farther or nearer along the view axis (a sliver of a surface between traced
// pixels) is traced itself.

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "raytracer/mask_picture.h"
#include "raytracer/screen_camera.h"

namespace RAYTR {

namespace {

inline std::uint32_t DepthApart(std::uint32_t a, std::uint32_t b) { return a > b ? a - b : b - a; }

// Of the traced neighbours whose bits are set in `candidates` (bit 0, the one at or below left,
// always), the one whose depth word (depths, in the order below left, below right, above left,
// above right) is nearest to `own`; the first in that order on a tie.
inline int NearestInDepth(std::uint32_t own, const std::uint32_t depths[4], unsigned candidates) {
    int best = 0;
    for (int i = 1; i < 4; ++i)
        if ((candidates >> i & 1u) && DepthApart(depths[i], own) < DepthApart(depths[best], own)) best = i;
    return best;
}

}  // namespace

void MaskPicture::UpsampleTile(ScreenTile& tile, int) {
    // The coarse mask's pixel (r, c) is the window's (2r, 2c). Window pixels go by 2 x 2 quads
    // (tiles start at even rows and columns): (2r, 2c) is traced; (2r, 2c + 1) has two traced
    // neighbours, left and right, and (2r + 1, 2c) two, below and above; (2r + 1, 2c + 1) the
    // four round it. Past the last row or column the neighbour is the last one again.
    static_assert(kCoarseStep == 2);
    const int rowStart = tile.rowStart, colStart = tile.colStart, rowEnd = tile.rowEnd, colEnd = tile.colEnd;
    const int cw = CoarseWidth(), ch = CoarseHeight(), w = width_;
    const std::uint8_t* const coarse = coarseBytes_.get();
    const std::uint32_t* const depth = depthWords_;
    for (int y = rowStart; y < rowEnd; y += 2) {
        const int r = y >> 1, rAbove = std::min(r + 1, ch - 1);
        const bool odd = y + 1 < rowEnd;
        const std::uint8_t *const below = coarse + r * cw, *const above = coarse + rAbove * cw;
        std::uint8_t *const out0 = bytes_.get() + y * w, *const out1 = out0 + w;
        if (depth == nullptr) {
            for (int x = colStart; x < colEnd; ++x) {
                out0[x] = below[x >> 1];
                if (odd) out1[x] = below[x >> 1];
            }
            continue;
        }
        const std::uint32_t *const d0 = depth + y * w, *const d2 = depth + 2 * rAbove * w;
        // A pixel whose nearest traced neighbour lies on another surface is traced itself, so
        // that no speck of another surface's shadow lands on it.
        const auto take = [&](int row, int column, const std::uint8_t values[4], const std::uint32_t depths[4],
                              unsigned candidates) {
            const std::uint32_t own = depth[row * w + column];
            const int nearest = NearestInDepth(own, depths, candidates);
            const float t = camera_.ViewDistance(DepthFromWord(own));
            const float tNearest = camera_.ViewDistance(DepthFromWord(depths[nearest]));
            if (std::fabs(t - tNearest) > 0.05f * t) return MaskValue(row, column) == kLit ? std::uint8_t{255} : std::uint8_t{0};
            return values[nearest];
        };
        const auto quad = [&](int x) {
            const int c = x >> 1, cRight = std::min(c + 1, cw - 1), xRight = 2 * cRight;
            const std::uint8_t values[4] = {below[c], below[cRight], above[c], above[cRight]};
            const bool right = x + 1 < colEnd;
            if (values[0] == values[1] && values[0] == values[2] && values[0] == values[3]) {
                // Wholly lit or shadowed round the quad: no depth to read.
                out0[x] = values[0];
                if (right) out0[x + 1] = values[0];
                if (odd) {
                    out1[x] = values[0];
                    if (right) out1[x + 1] = values[0];
                }
                return;
            }
            const std::uint32_t depths[4] = {d0[x], d0[xRight], d2[x], d2[xRight]};
            out0[x] = values[0];
            if (right) out0[x + 1] = take(y, x + 1, values, depths, 0b0011);
            if (!odd) return;
            out1[x] = take(y + 1, x, values, depths, 0b0101);
            if (right) out1[x + 1] = take(y + 1, x + 1, values, depths, 0b1111);
        };
        int x = colStart;
        if (odd) {
            // Sixteen quads at a time while each has its right neighbours inside both the
            // rectangle and the coarse mask: every value doubled into both rows, then the
            // quads whose four traced neighbours differ done again one by one.
            for (; x + 32 <= colEnd && (x >> 1) + 16 < cw; x += 32) {
                const int c = x >> 1;
                const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(below + c));
                const __m128i bRight = _mm_loadu_si128(reinterpret_cast<const __m128i*>(below + c + 1));
                const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(above + c));
                const __m128i aRight = _mm_loadu_si128(reinterpret_cast<const __m128i*>(above + c + 1));
                const __m128i lo = _mm_unpacklo_epi8(b, b), hi = _mm_unpackhi_epi8(b, b);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out0 + x), lo);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out0 + x + 16), hi);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out1 + x), lo);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out1 + x + 16), hi);
                const __m128i same = _mm_and_si128(_mm_cmpeq_epi8(b, bRight),
                                                   _mm_and_si128(_mm_cmpeq_epi8(b, a), _mm_cmpeq_epi8(b, aRight)));
                unsigned differ = ~static_cast<unsigned>(_mm_movemask_epi8(same)) & 0xFFFFu;
                while (differ != 0) {
                    quad(x + 2 * __builtin_ctz(differ));
                    differ &= differ - 1;
                }
            }
        }
        for (; x < colEnd; x += 2) quad(x);
    }
    LiftTile(tile, 0);
}

}  // namespace RAYTR
