#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <random>
#include <vector>

#include "grid/cell_walk.h"

namespace {

using Cell = std::array<int, 3>;

std::vector<Cell> Walk(Cell a, Cell b) {
    std::vector<Cell> out;
    RAYTR::CellLine(a.data(), b.data(), [&](int i, int j, int k) {
        out.push_back({i, j, k});
        return false;
    });
    return out;
}

}  // namespace

TEST(CellLineTest, WorkedWalks) {
    EXPECT_EQ(Walk({0, 0, 0}, {4, 2, 1}), (std::vector<Cell>{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {2, 1, 0}, {2, 1, 1},
                                                              {3, 1, 1}, {3, 2, 1}, {4, 2, 1}}));
    // y is the major axis on a three-way tie.
    EXPECT_EQ(Walk({0, 0, 0}, {1, 1, 1}), (std::vector<Cell>{{0, 0, 0}, {1, 0, 0}, {1, 0, 1}, {1, 1, 1}}));
    EXPECT_EQ(Walk({3, -2, 5}, {3, -2, 5}), (std::vector<Cell>{{3, -2, 5}}));
}

TEST(CellLineTest, RandomWalksAreFaceAdjacentOfTheRightLengthAndMatchTheLinearWalk) {
    std::mt19937 random(1234);
    std::uniform_int_distribution<int> coordinate(-20, 20);
    const int stride[3] = {41 * 41, 41, 1};
    for (int n = 0; n < 3000; ++n) {
        const Cell a{coordinate(random), coordinate(random), coordinate(random)};
        const Cell b{coordinate(random), coordinate(random), coordinate(random)};
        const std::vector<Cell> cells = Walk(a, b);
        const int expected = std::abs(b[0] - a[0]) + std::abs(b[1] - a[1]) + std::abs(b[2] - a[2]) + 1;
        ASSERT_EQ(static_cast<int>(cells.size()), expected);
        ASSERT_EQ(cells.front(), a);
        ASSERT_EQ(cells.back(), b);
        for (size_t i = 1; i < cells.size(); ++i) {
            int moved = 0;
            for (int q = 0; q < 3; ++q) {
                const int d = cells[i][q] - cells[i - 1][q];
                ASSERT_LE(std::abs(d), 1);
                // Never a step away from b on any axis.
                if (d != 0) {
                    ASSERT_EQ(d > 0, b[q] > a[q]);
                }
                moved += std::abs(d);
            }
            ASSERT_EQ(moved, 1) << "cells " << i - 1 << " and " << i << " do not share a face";
        }
        // The linear form of the walk visits the same cells.
        std::vector<long long> linear;
        const int la[3] = {a[0] + 20, a[1] + 20, a[2] + 20}, lb[3] = {b[0] + 20, b[1] + 20, b[2] + 20};
        RAYTR::CellLineLinear(la, lb, stride, [&](long long c) {
            linear.push_back(c);
            return false;
        });
        ASSERT_EQ(linear.size(), cells.size());
        for (size_t i = 0; i < cells.size(); ++i)
            ASSERT_EQ(linear[i], (cells[i][0] + 20LL) * stride[0] + (cells[i][1] + 20) * stride[1] + cells[i][2] + 20);
    }
}

TEST(CellLineTest, StopsAtTheFirstCellThatAsks) {
    const int a[3] = {0, 0, 0}, b[3] = {10, 0, 0};
    int visits = 0;
    EXPECT_TRUE(RAYTR::CellLine(a, b, [&](int i, int, int) {
        ++visits;
        return i == 3;
    }));
    EXPECT_EQ(visits, 4);
}
