#include "app/model_turn.h"

#include <algorithm>

namespace WIN_NMS {

using ORVA_MATH::MATRIX;
using ORVA_MATH::VECTOR;

ORVA_MATH::MATRIX TurnedTransform(LOAD_3DS::UpAxis loadedUp, LOAD_3DS::UpAxis up, const float lo[3], const float hi[3],
                                  const MATRIX& base) {
    // From the loaded coordinates back to the file's (the inverse of a signed permutation is
    // its transpose), then to those of the new axis: R = T(up) T(loadedUp)^T. As a row-vector
    // matrix, p' = p R^T, so entry (row c, column r) holds R(r, c).
    const LOAD_3DS::AxisTurn to = LOAD_3DS::TurnUpright(up), from = LOAD_3DS::TurnUpright(loadedUp);
    MATRIX turn = MATRIX::Identity();
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            int sum = 0;
            for (int k = 0; k < 3; ++k) sum += to.row[r][k] * from.row[c][k];
            turn.m[4 * c + r] = float(sum);
        }
    // About the box's centre; the box turns into a box of the same centre.
    const float centre[3] = {0.5f * (lo[0] + hi[0]), 0.5f * (lo[1] + hi[1]), 0.5f * (lo[2] + hi[2])};
    const MATRIX about = MATRIX::Translation(-centre[0], -centre[1], -centre[2]) * turn *
                         MATRIX::Translation(centre[0], centre[1], centre[2]);
    // The lowest world y of the box's corners, under base and under the turn then base.
    const auto lowest = [&](const MATRIX& m) {
        float y = 0.0f;
        for (int k = 0; k < 8; ++k) {
            const VECTOR corner((k & 1) ? hi[0] : lo[0], (k & 2) ? hi[1] : lo[1], (k & 4) ? hi[2] : lo[2], 1.0f);
            const float w = ORVA_MATH::Transform(corner, m).y;
            y = k == 0 ? w : std::min(y, w);
        }
        return y;
    };
    const MATRIX turned = about * base;
    return turned * MATRIX::Translation(0.0f, lowest(base) - lowest(turned), 0.0f);
}

}  // namespace WIN_NMS
