#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "errors/message_box.h"
#include "grid/regular_grid.h"

namespace {

// A grid whose cubes are set by hand (the cells are protected data of the grid).
class HandMadeGrid : public RAYTR::Grid {
public:
    void SetCubeSizes(unsigned nx, unsigned ny, unsigned nz, const std::vector<unsigned>& sizes) {
        cells.SetDimensions(nx, ny, nz);
        for (unsigned c = 0; c < sizes.size(); ++c) {
            cells[c].Resize(sizes[c]);
            for (unsigned n = 0; n < sizes[c]; ++n) cells[c].indices[n] = n;
        }
        inverseCellSize[0] = inverseCellSize[1] = inverseCellSize[2] = 2.0f;
        minimum = ORVA_MATH::VECTOR{1.0f, 2.0f, 3.0f, 1.0f};
    }
};

class GridStatisticsTest : public ::testing::Test {};

}  // namespace

TEST_F(GridStatisticsTest, EightLineReport) {
    HandMadeGrid grid;
    grid.SetCubeSizes(1, 1, 4, {0, 0, 1, 3});
    grid.SetAlgorithm(RAYTR::kFastAlgorithm);
    std::ostringstream out;
    grid.PrintStatistics(out);
    EXPECT_EQ(out.str(),
              "use FAST_ALGORITHM of build regular grid\n"
              "Numbers of entries of triangles in voxel:\n"
              "0 : 2\n"
              "1 : 1\n"
              "3 : 1\n"
              "\n"
              "Max number of triangles in voxel: 3\n"
              "Average number of triangles in voxel: 1\n");
    // The line names the grid's algorithm.
    grid.SetAlgorithm(RAYTR::kAccuracyAlgorithm);
    std::ostringstream accurate;
    grid.PrintStatistics(accurate);
    EXPECT_EQ(accurate.str().substr(0, accurate.str().find('\n')), "use ACCURANCY_ALGORITHM of build regular grid");
}

TEST_F(GridStatisticsTest, UnknownFlagThrowsBeforeWritingAnything) {
    TIRN_ERROR::BoxRecorder recorder;
    HandMadeGrid grid;
    grid.SetCubeSizes(1, 1, 2, {1, 2});
    grid.SetAlgorithm(5);
    std::ostringstream out;
    try {
        grid.PrintStatistics(out);
        FAIL();
    } catch (const TIRN_ERROR::Error& e) {
        EXPECT_STREQ(e.what(), "UNKNOWN_ALGORITHM of build regular grid");
    }
    EXPECT_TRUE(out.str().empty());
    ASSERT_EQ(recorder.Boxes().size(), 1u);
}

