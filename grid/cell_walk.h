#pragma once
// CellLine: the Bresenham-style integer walk between two cells, shared by the build (edges and
// fill lines of a triangle) and by the ray query (entry cell to exit cell).
//
// Consecutive cells share a face; the walk visits |dx| + |dy| + |dz| + 1 cells, starts at a
// and ends at b. The major axis is the longest one (y wins ties with x and z, x wins ties with
// z); every major step may be preceded by one step along each minor axis, in the order x, y, z.

#include <cstdlib>

namespace RAYTR {

// visit(i, j, k) returns true to stop the walk; CellLine then returns true.
template <class Visit>
inline bool CellLine(const int a[3], const int b[3], Visit&& visit) {
    int cur[3] = {a[0], a[1], a[2]};
    int step[3], len[3];
    // Per axis: direction (+1 when d > 0, else -1) and length |d|.
    for (int axis = 0; axis < 3; ++axis) {
        const int d = b[axis] - a[axis];
        step[axis] = d > 0 ? 1 : -1;
        len[axis] = std::abs(d);
    }
    // Major axis: y on ties with x or z, then x on ties with z.
    int major;
    if (len[1] >= len[0] && len[1] >= len[2]) major = 1;
    else if (len[0] > len[1] && len[0] >= len[2]) major = 0;
    else major = 2;
    const int minorA = major == 0 ? 1 : 0;
    const int minorB = major == 2 ? 1 : 2;
    const int majorLength = len[major];
    // Error terms of the two minor axes.
    int eA = len[minorA] - majorLength;
    int eB = len[minorB] - majorLength;
    for (int n = 0; n < majorLength; ++n) {
        if (visit(cur[0], cur[1], cur[2])) return true;
        // Minor steps first, each visiting the cell it reaches.
        if (eA >= 0) {
            cur[minorA] += step[minorA];
            if (visit(cur[0], cur[1], cur[2])) return true;
            eA -= 2 * majorLength;
        }
        if (eB >= 0) {
            cur[minorB] += step[minorB];
            if (visit(cur[0], cur[1], cur[2])) return true;
            eB -= 2 * majorLength;
        }
        // Then the major step.
        cur[major] += step[major];
        eA += 2 * len[minorA];
        eB += 2 * len[minorB];
    }
    // The last cell is b.
    return visit(cur[0], cur[1], cur[2]);
}

// The same walk over linear cell indices: cell (i, j, k) is i * stride[0] + j * stride[1] +
// k * stride[2]. visit(linearIndex) returns true to stop. Used by the ray query, whose loop
// then needs no coordinates.
template <class Visit>
inline bool CellLineLinear(const int a[3], const int b[3], const int stride[3], Visit&& visit) {
    int step[3], len[3];
    for (int axis = 0; axis < 3; ++axis) {
        const int d = b[axis] - a[axis];
        step[axis] = d > 0 ? stride[axis] : -stride[axis];
        len[axis] = std::abs(d);
    }
    int major;
    if (len[1] >= len[0] && len[1] >= len[2]) major = 1;
    else if (len[0] > len[1] && len[0] >= len[2]) major = 0;
    else major = 2;
    const int minorA = major == 0 ? 1 : 0;
    const int minorB = major == 2 ? 1 : 2;
    const int majorLength = len[major];
    const int majorStep = step[major], stepA = step[minorA], stepB = step[minorB];
    const int twiceMajor = 2 * majorLength, twiceA = 2 * len[minorA], twiceB = 2 * len[minorB];
    int eA = len[minorA] - majorLength;
    int eB = len[minorB] - majorLength;
    long long cell = static_cast<long long>(a[0]) * stride[0] + static_cast<long long>(a[1]) * stride[1] +
                     static_cast<long long>(a[2]) * stride[2];
    for (int n = 0; n < majorLength; ++n) {
        if (visit(cell)) return true;
        if (eA >= 0) {
            cell += stepA;
            if (visit(cell)) return true;
            eA -= twiceMajor;
        }
        if (eB >= 0) {
            cell += stepB;
            if (visit(cell)) return true;
            eB -= twiceMajor;
        }
        cell += majorStep;
        eA += twiceA;
        eB += twiceB;
    }
    return visit(cell);
}

}  // namespace RAYTR
