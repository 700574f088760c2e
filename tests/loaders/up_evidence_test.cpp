// Up axes from the evidence a file gives (a PLY header's words, a scan's flat base) and the
// order in which the u key tries them.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "loaders/up_evidence.h"

namespace {

using namespace LOAD_3DS;

TEST(UpEvidenceTest, PlyHeadersNameTheAxisOrTheProgramThatWroteThem) {
    const std::string start = "ply\nformat ascii 1.0\n";
    const std::string end = "element vertex 0\nproperty float x\nend_header\n";
    struct Case {
        std::string lines;
        std::uint8_t up;
    };
    const std::vector<Case> cases = {
        {"comment zipper output\n", DeclaredUp(UpAxis::Y)},
        {"comment vrip output\n", DeclaredUp(UpAxis::Y)},
        {"Created by Blender3D 247 - www.blender.org, source file: \n", kUpUndeclared},
        {"comment Up_Axis: -Y\ncomment Created by Blender\n", DeclaredUp(UpAxis::NegY)},
        {"comment up = x\n", DeclaredUp(UpAxis::X)},
        {"comment VCGLIB generated\n", kUpUndeclared},
        {"comment setup 3\ncomment upz\n", kUpUndeclared},  // "up" inside a word, or without a separator
        {"", kUpUndeclared},
    };
    for (const Case& c : cases) {
        std::string why;
        EXPECT_EQ(PlyHeaderUp(start + c.lines + end, &why), c.up) << c.lines;
        EXPECT_EQ(why.empty(), c.up == kUpUndeclared) << c.lines;
    }
    // Words after the header are data, not evidence.
    EXPECT_EQ(PlyHeaderUp(start + end + "comment zipper output\n", nullptr), kUpUndeclared);
}

// A dome of radius 1 over its flat round base in the plane z = 0, turned by `turn`.
void Dome(std::vector<LPoint3>& p, std::vector<LFace>& f, UpAxis turn) {
    constexpr int kRings = 12, kAround = 24;
    const auto add = [&](float x, float y, float z) {
        // The base is at the lowest z; put it where `turn` says the lowest side is.
        switch (turn) {
            case UpAxis::Z: p.push_back({x, y, z}); break;
            case UpAxis::NegX: p.push_back({-z, x, y}); break;
            default: p.push_back({x, z, y}); break;  // y-up
        }
        return int(p.size()) - 1;
    };
    const int top = add(0, 0, 1), centre = add(0, 0, 0);
    std::vector<int> ring(kAround);
    std::vector<int> last;
    for (int r = 1; r <= kRings; ++r) {
        const float a = float(r) / kRings * 1.5707964f;
        for (int k = 0; k < kAround; ++k) {
            const float t = float(k) / kAround * 6.2831855f;
            ring[k] = add(std::sin(a) * std::cos(t), std::sin(a) * std::sin(t), std::cos(a));
        }
        for (int k = 0; k < kAround; ++k) {
            const int n = (k + 1) % kAround;
            if (last.empty()) {
                f.push_back({top, ring[k], ring[n]});
            } else {
                f.push_back({last[k], ring[k], ring[n]});
                f.push_back({last[k], ring[n], last[n]});
            }
        }
        last = ring;
    }
    for (int k = 0; k < kAround; ++k) f.push_back({centre, last[(k + 1) % kAround], last[k]});
}

TEST(UpEvidenceTest, AScansOnlyFlatSideIsItsBase) {
    for (UpAxis turn : {UpAxis::Z, UpAxis::Y, UpAxis::NegX}) {
        std::vector<LPoint3> p;
        std::vector<LFace> f;
        Dome(p, f, turn);
        std::string why;
        EXPECT_EQ(FlatBaseUp(p, f, &why), DeclaredUp(turn)) << UpAxisName(turn);
        EXPECT_EQ(why, "guessed from its flat base");
    }
    // A cube has six flat sides, a plate two (its faces lie in both), a lone triangle too: none.
    const std::vector<LPoint3> cube = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
    const std::vector<LFace> sides = {{0, 2, 1}, {0, 3, 2}, {4, 5, 6}, {4, 6, 7}, {0, 1, 5}, {0, 5, 4},
                                      {2, 3, 7}, {2, 7, 6}, {1, 2, 6}, {1, 6, 5}, {0, 4, 7}, {0, 7, 3}};
    EXPECT_EQ(FlatBaseUp(cube, sides, nullptr), kUpUndeclared);
    const std::vector<LPoint3> plate(cube.begin(), cube.begin() + 4);
    EXPECT_EQ(FlatBaseUp(plate, {{0, 2, 1}, {0, 3, 2}}, nullptr), kUpUndeclared);
    EXPECT_EQ(FlatBaseUp({}, {}, nullptr), kUpUndeclared);
    EXPECT_EQ(FlatBaseUp(cube, {{0, 1, 9}}, nullptr), kUpUndeclared);  // a corner out of range is skipped
}

TEST(UpEvidenceTest, TheUKeyTriesTheLikelyAxesFirstAndCapitalUGoesBack) {
    // From a z guess, y is one press away; from y, z is.
    EXPECT_EQ(StepUpAxis(UpAxis::Z, UpAxis::Z, 1), UpAxis::Y);
    EXPECT_EQ(StepUpAxis(UpAxis::Y, UpAxis::Y, 1), UpAxis::Z);
    for (int first = 0; first < kUpAxisCount; ++first) {
        UpAxis a = UpAxis(first);
        std::vector<bool> seen(kUpAxisCount, false);
        for (int k = 0; k < kUpAxisCount; ++k) {
            seen[int(a)] = true;
            const UpAxis next = StepUpAxis(UpAxis(first), a, 1);
            EXPECT_EQ(StepUpAxis(UpAxis(first), next, -1), a);
            a = next;
        }
        EXPECT_EQ(a, UpAxis(first));  // six presses come back
        for (bool s : seen) EXPECT_TRUE(s);
    }
}

}  // namespace
