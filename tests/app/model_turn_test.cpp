// The u key's turn: the model turned about its box's centre to the axis asked for, its lowest
// point where it stood and its middle over the same place.
#include "app/model_turn.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using ORVA_MATH::MATRIX;
using ORVA_MATH::VECTOR;

TEST(ModelTurnTest, TheModelTurnsAboutItsMiddleAndKeepsItsLowestPoint) {
    // A 2 x 4 x 6 box as loaded (z turned up from its file), moved down by 1.65 as model 0 is.
    const float lo[3] = {-1.0f, 0.5f, -3.0f}, hi[3] = {1.0f, 4.5f, 3.0f};
    const MATRIX base = MATRIX::Translation(0.0f, -1.65f, 0.0f);
    for (int k = 0; k < LOAD_3DS::kUpAxisCount; ++k) {
        const LOAD_3DS::UpAxis up = LOAD_3DS::UpAxis(k);
        SCOPED_TRACE(LOAD_3DS::UpAxisName(up));
        const MATRIX m = WIN_NMS::TurnedTransform(LOAD_3DS::UpAxis::Z, up, lo, hi, base);
        float low[3] = {1e9f, 1e9f, 1e9f}, high[3] = {-1e9f, -1e9f, -1e9f};
        for (int c = 0; c < 8; ++c) {
            const VECTOR p = ORVA_MATH::Transform(VECTOR((c & 1) ? hi[0] : lo[0], (c & 2) ? hi[1] : lo[1], (c & 4) ? hi[2] : lo[2], 1.0f), m);
            const float xyz[3] = {p.x, p.y, p.z};
            for (int a = 0; a < 3; ++a) low[a] = std::min(low[a], xyz[a]), high[a] = std::max(high[a], xyz[a]);
        }
        EXPECT_NEAR(low[1], 0.5f - 1.65f, 1e-5f);           // on the floor it stood on
        EXPECT_NEAR(low[0] + high[0], 0.0f, 1e-5f);         // over the same middle
        EXPECT_NEAR(low[2] + high[2], 0.0f, 1e-5f);
        // The file's axis `up` points up: the loaded model's axis that came from it does.
        const LOAD_3DS::LPoint3 fileUp = LOAD_3DS::Apply(LOAD_3DS::TurnUpright(LOAD_3DS::UpAxis::Z),
                                                         k == 0 ? LOAD_3DS::LPoint3{0, 1, 0}
                                                         : k == 1 ? LOAD_3DS::LPoint3{0, 0, 1}
                                                         : k == 2 ? LOAD_3DS::LPoint3{1, 0, 0}
                                                         : k == 3 ? LOAD_3DS::LPoint3{0, -1, 0}
                                                         : k == 4 ? LOAD_3DS::LPoint3{0, 0, -1}
                                                                  : LOAD_3DS::LPoint3{-1, 0, 0});
        const VECTOR d = ORVA_MATH::Transform(VECTOR(fileUp.x, fileUp.y, fileUp.z, 0.0f), m);
        EXPECT_NEAR(d.y, 1.0f, 1e-6f);
    }
    // As loaded: the transform it had.
    const MATRIX same = WIN_NMS::TurnedTransform(LOAD_3DS::UpAxis::Z, LOAD_3DS::UpAxis::Z, lo, hi, base);
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(same.m[i], base.m[i], 1e-6f) << i;
}

}  // namespace
