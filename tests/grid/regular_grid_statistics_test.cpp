#include <gtest/gtest.h>

#include <GL/freeglut.h>
#include <GL/gl.h>

#include <functional>

#include <sstream>
#include <string>
#include <vector>

#include "errors/message_box.h"
#include "grid/regular_grid.h"
#include "grid_test_mesh.h"
#include "tests/support/gl_context.h"

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
    void ListCells(int n) {
        for (int i = 0; i < n; ++i) cellList.push_back(RAYTR::CellCoord{i, 0, 0});
    }
};

class GridStatisticsTest : public ::testing::Test {
protected:
    void SetUp() override { saved_ = RAYTR::gridAlgorithm; }
    void TearDown() override { RAYTR::gridAlgorithm = saved_; }
    int saved_ = 1;
};

// Line segments drawn by fn, counted in GL feedback mode (a wire cube is 6 loops of 4 edges).
int CountedLines(const std::function<void()>& fn) {
    std::vector<GLfloat> buffer(1 << 20);
    glFeedbackBuffer(static_cast<GLsizei>(buffer.size()), GL_3D, buffer.data());
    glRenderMode(GL_FEEDBACK);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(-100, 100, -100, 100, -100, 100);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    fn();
    const GLint values = glRenderMode(GL_RENDER);
    int lines = 0;
    for (GLint i = 0; i < values;) {
        const GLint token = static_cast<GLint>(buffer[i]);
        if (token == GL_LINE_TOKEN || token == GL_LINE_RESET_TOKEN) {
            ++lines;
            i += 1 + 2 * 3;
        } else if (token == GL_POINT_TOKEN) {
            i += 1 + 3;
        } else if (token == GL_PASS_THROUGH_TOKEN) {
            i += 2;
        } else {
            ADD_FAILURE() << "unexpected feedback token " << token;
            break;
        }
    }
    return lines;
}

}  // namespace

TEST_F(GridStatisticsTest, EightLineReport) {
    HandMadeGrid grid;
    grid.SetCubeSizes(1, 1, 4, {0, 0, 1, 3});
    RAYTR::gridAlgorithm = RAYTR::kFastAlgorithm;
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
    // The line names the flag as it is when the report is written.
    RAYTR::gridAlgorithm = RAYTR::kAccuracyAlgorithm;
    std::ostringstream accurate;
    grid.PrintStatistics(accurate);
    EXPECT_EQ(accurate.str().substr(0, accurate.str().find('\n')), "use ACCURANCY_ALGORITHM of build regular grid");
}

TEST_F(GridStatisticsTest, UnknownFlagThrowsBeforeWritingAnything) {
    TIRN_ERROR::BoxRecorder recorder;
    HandMadeGrid grid;
    grid.SetCubeSizes(1, 1, 2, {1, 2});
    RAYTR::gridAlgorithm = 5;
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

TEST_F(GridStatisticsTest, DrawingsDrawOneWireCubePerListedOrOccupiedCell) {
    if (!redowl_test::EnsureGlContext()) GTEST_FAIL() << "no display for the OpenGL context";
    const unsigned char colour[3] = {255, 0, 0};
    HandMadeGrid grid;
    grid.SetCubeSizes(2, 3, 4, std::vector<unsigned>(24, 1));
    const int perCube = CountedLines([] { glutWireCube(1.0); });
    ASSERT_GT(perCube, 0);
    EXPECT_EQ(CountedLines([&] { grid.DrawOccupiedCells(colour); }), 24 * perCube);
    grid.SetCubeSizes(2, 3, 4, {0, 1, 0, 2});  // the other 20 keep their 8 slots: occupied
    EXPECT_EQ(CountedLines([&] { grid.DrawOccupiedCells(colour); }), 22 * perCube);
    // The cell list is empty between insertions; listed cells are drawn one cube each.
    EXPECT_EQ(CountedLines([&] { grid.DrawListedCells(colour); }), 0);
    grid.ListCells(3);
    EXPECT_EQ(CountedLines([&] { grid.DrawListedCells(colour); }), 3 * perCube);
    // A built grid has an empty cell list.
    grid_test::TestMesh mesh;
    grid_test::MakeSphere(mesh, 1.0f, 6, 6);
    RAYTR::Grid built;
    built.Build(mesh.triangles.data(), mesh.Count(), mesh.box);
    EXPECT_EQ(CountedLines([&] { built.DrawListedCells(colour); }), 0);
}
