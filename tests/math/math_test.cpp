#include <gtest/gtest.h>

#include <random>

#include "errors/errors.h"
#include "errors/message_box.h"
#include "math/aligned.h"
#include "math/matrix.h"
#include "math/vector.h"

using namespace ORVA_MATH;

TEST(VectorTest, LaneRulesFromTheTable) {
    EXPECT_FLOAT_EQ(Dot({1, 2, 3, 100}, {4, 5, 6, 100}), 32.0f);  // w does not count
    const VECTOR n = Normalised({3, 0, 4, 1});
    EXPECT_FLOAT_EQ(n.x, 0.6f);
    EXPECT_FLOAT_EQ(n.y, 0.0f);
    EXPECT_FLOAT_EQ(n.z, 0.8f);
    EXPECT_FLOAT_EQ(n.w, 0.2f);  // w is divided too
    const VECTOR c = Cross({1, 0, 0, 1}, {0, 1, 0, 1});
    EXPECT_EQ(c.x, 0.0f);
    EXPECT_EQ(c.y, 0.0f);
    EXPECT_EQ(c.z, 1.0f);
    EXPECT_EQ(c.w, 0.0f);
    EXPECT_EQ((VECTOR{5, 6, 7, 1} - VECTOR{1, 2, 3, 1}).w, 0.0f);
}

TEST(MatrixTest, TransformAndTranslationInverse) {
    MATRIX m = MATRIX::Translation(10, 20, 30);
    const VECTOR r = Transform({1, 2, 3, 1}, m);
    EXPECT_EQ(r.x, 11);
    EXPECT_EQ(r.y, 22);
    EXPECT_EQ(r.z, 33);
    EXPECT_EQ(r.w, 1);
    const MATRIX inv = m.Inverted();
    EXPECT_FLOAT_EQ(inv(3, 0), -10);
    EXPECT_FLOAT_EQ(inv(3, 1), -20);
    EXPECT_FLOAT_EQ(inv(3, 2), -30);
    EXPECT_FLOAT_EQ(inv(3, 3), 1);
    // Column transform on the stored transpose equals the row-vector transform.
    const VECTOR c = ColumnTransform(m.Transposed(), {1, 2, 3, 1});
    EXPECT_EQ(c.x, 11);
    EXPECT_EQ(c.z, 33);
}

TEST(MatrixTest, DiagonalInverse) {
    MATRIX d = MATRIX::Identity();
    d(0, 0) = 2;
    d(1, 1) = 4;
    d(2, 2) = 0.5f;
    d.Invert();
    EXPECT_FLOAT_EQ(d(0, 0), 0.5f);
    EXPECT_FLOAT_EQ(d(1, 1), 0.25f);
    EXPECT_FLOAT_EQ(d(2, 2), 2.0f);
    EXPECT_FLOAT_EQ(d(3, 3), 1.0f);
}

TEST(MatrixTest, SingularMatrixThrowsZeroDivisionWithItsBox) {
    TIRN_ERROR::BoxRecorder recorder;
    MATRIX z{};
    try {
        z.Invert();
        FAIL() << "no exception";
    } catch (const TIRN_ERROR::Error& e) {  // Zero_Division is an Error
        EXPECT_STREQ(e.what(), "RUN TIME ERROR!");
    }
    ASSERT_EQ(recorder.Boxes().size(), 1u);
    EXPECT_EQ(recorder.Boxes()[0].first, "Zero_Division: ");
    EXPECT_EQ(recorder.Boxes()[0].second, "Attempt to inverse singular matrix");
}

namespace {
// Row-major 4x4 product in double precision, the reference for the inversion tests.
void ExpectInverse(const MATRIX& m, const MATRIX& inv, double tolerance) {
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            double s = 0;
            for (int k = 0; k < 4; ++k) s += double(m(i, k)) * double(inv(k, j));
            EXPECT_NEAR(s, i == j ? 1.0 : 0.0, tolerance) << i << "," << j;
        }
}

MATRIX RotationX90() {
    MATRIX r = MATRIX::Identity();
    r(1, 1) = 0; r(1, 2) = 1; r(2, 1) = -1; r(2, 2) = 0;
    return r;
}
}  // namespace

TEST(MatrixTest, QuarterTurnsNeedThePivotSearch) {
    MATRIX rx = RotationX90();
    ExpectInverse(rx, rx.Inverted(), 1e-6);
    MATRIX rz = MATRIX::Identity();
    rz(0, 0) = 0; rz(0, 1) = 1; rz(1, 0) = -1; rz(1, 1) = 0;
    ExpectInverse(rz, rz.Inverted(), 1e-6);
    MATRIX both = rx * rz * MATRIX::Translation(1, 2, 3);
    ExpectInverse(both, both.Inverted(), 1e-5);
}

TEST(MatrixTest, RandomWellConditionedMatricesInvert) {
    std::mt19937 rng(1234);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int trial = 0; trial < 500; ++trial) {
        MATRIX m;
        // Diagonally dominant: well conditioned, inverted without row exchanges.
        for (int i = 0; i < 16; ++i) m.m[i] = u(rng);
        for (int i = 0; i < 4; ++i) m(i, i) += (u(rng) > 0 ? 4.0f : -4.0f);
        ExpectInverse(m, m.Inverted(), 2e-6);
        // The same with rows 0 and 1 exchanged and row 0's diagonal zeroed: a pivot search is needed.
        MATRIX p = m;
        for (int c = 0; c < 4; ++c) std::swap(p(0, c), p(1, c));
        p(0, 0) = 0.0f;
        ExpectInverse(p, p.Inverted(), 1e-4);
    }
}

TEST(AlignedTest, ObjectsAreSixteenByteAligned) {
    struct Holder : SSE_Aligned_Object { char c; VECTOR v; };
    for (int i = 0; i < 32; ++i) {
        Holder* h = new Holder;
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(h) % 16, 0u);
        delete h;
    }
    try {
        AlignedAlloc(~std::size_t{0} - 4);
        FAIL();
    } catch (const std::bad_alloc& e) {
        EXPECT_STREQ(e.what(), "_aligned_malloc(): unsufficient memory");
    }
}
