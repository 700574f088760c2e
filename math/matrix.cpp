#include "math/matrix.h"

#include <cmath>
#include <utility>

#include "errors/errors.h"

namespace ORVA_MATH {

MATRIX MATRIX::Identity() {
    MATRIX r{};
    r.m[0] = r.m[5] = r.m[10] = r.m[15] = 1.0f;
    return r;
}

MATRIX MATRIX::Translation(float tx, float ty, float tz) {
    MATRIX r = Identity();
    r.m[12] = tx;
    r.m[13] = ty;
    r.m[14] = tz;
    return r;
}

void MATRIX::Transpose() {
    for (int i = 1; i < 4; ++i)
        for (int j = 0; j < i; ++j) std::swap(m[4 * i + j], m[4 * j + i]);
}

MATRIX operator*(const MATRIX& a, const MATRIX& b) {
    MATRIX c;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            float s = 0.0f;
            for (int k = 0; k < 4; ++k) s += a(i, k) * b(k, j);
            c(i, j) = s;
        }
    return c;
}

void MATRIX::Invert() {
    MATRIX& M = *this;
    MATRIX C = Identity();
    const float tinySquare = 1e-10f;  // compared with the square of a pivot
    const float tiny = 1e-5f;         // compared with the absolute value of a diagonal element

    auto swapRows = [](MATRIX& x, int r1, int r2) {
        for (int c = 0; c < 4; ++c) std::swap(x(r1, c), x(r2, c));
    };

    // Forward elimination.
    for (int j = 0; j < 4; ++j) {
        if (static_cast<double>(M(j, j)) * M(j, j) < static_cast<double>(tinySquare)) {
            // Partial pivoting: the row below j with the largest element in column j.
            int best = -1;
            float bestAbs = 0.0f;
            for (int k = j + 1; k < 4; ++k) {
                const float a = std::fabs(M(k, j));
                if (static_cast<double>(a) * a >= static_cast<double>(tinySquare) && a > bestAbs) {
                    best = k;
                    bestAbs = a;
                }
            }
            if (best < 0) throw TIRN_ERROR::Zero_Division("Attempt to inverse singular matrix");
            swapRows(M, j, best);
            swapRows(C, j, best);
        }
        for (int k = j + 1; k < 4; ++k) {
            const float f = -M(k, j) / M(j, j);
            for (int c = j; c < 4; ++c) M(k, c) += f * M(j, c);
            for (int c = 0; c < 4; ++c) C(k, c) += f * C(j, c);
        }
    }
    // Backward elimination.
    for (int g = 3; g >= 1; --g) {
        if (!(std::fabs(M(g, g)) > tiny)) continue;
        for (int n = g - 1; n >= 0; --n) {
            const float f = -M(n, g) / M(g, g);
            for (int c = g; c < 4; ++c) M(n, c) += f * M(g, c);
            for (int c = 0; c < 4; ++c) C(n, c) += f * C(g, c);
        }
    }
    // Diagonal: reciprocals, near-zero entries replaced by 1.
    for (int i = 0; i < 4; ++i) M(i, i) = std::fabs(M(i, i)) > tiny ? 1.0f / M(i, i) : 1.0f;
    for (int i = 0; i < 4; ++i)
        for (int c = 0; c < 4; ++c) C(i, c) *= M(i, i);
    M = C;
}

}  // namespace ORVA_MATH
