// The frame budget's choice of the lattice step, of the phases a filling-in frame traces and of
// a hybrid frame's whole or coarse mask: pure functions of the last frames' costs.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <vector>

#include "app/frame_budget.h"

namespace {

using WIN_NMS::ChooseFillPhases;
using WIN_NMS::ChooseLatticeStep;
using WIN_NMS::ChooseMaskStep;
using WIN_NMS::FrameCost;

constexpr double kFullHd = 1920.0 * 1080.0;

// The frame time the cost model predicts for step k from one frame's cost.
double Predicted(const FrameCost& c, double pixels, int k) { return c.otherMs + c.tracingMs / c.tracedPixels * pixels / (k * k); }

}  // namespace

TEST(FrameBudgetTest, TheStepIsTheSmallestThatFitsTheBudget) {
    // Today's full trace at 1920 x 1080: 340 ms of tracing, 8 ms besides.
    const FrameCost full{kFullHd, 340.0, 8.0};
    // Aiming at 45 ms of the 50: 8 + 340 / 9 = 45.8 ms misses, 8 + 340 / 16 = 29.3 ms fits.
    EXPECT_EQ(ChooseLatticeStep(&full, 1, kFullHd, 50.0), 4);
    EXPECT_EQ(ChooseLatticeStep(&full, 1, kFullHd, 0.0), 1);   // no budget: every pixel
    EXPECT_EQ(ChooseLatticeStep(&full, 1, 400.0 * 400.0, 50.0), 1);  // 8 + 26.2 ms
    EXPECT_EQ(ChooseLatticeStep(nullptr, 0, kFullHd, 50.0), 1);  // nothing measured yet: every pixel
    // The rest of the frame above the budget: the tracing keeps a quarter of it.
    const FrameCost slowSwap{kFullHd / 16.0, 20.0, 60.0};
    EXPECT_EQ(ChooseLatticeStep(&slowSwap, 1, kFullHd, 50.0), 6);  // 320 / 25 = 12.8 > 11.25 >= 320 / 36

    // Random costs: the step fits the budget as predicted (unless it is the largest), one less
    // would not, and a slower tracer never gets a smaller step.
    std::mt19937 random(24);
    std::uniform_real_distribution<double> ms(0.5, 400.0), share(0.01, 1.0), other(0.0, 30.0);
    for (int i = 0; i < 2000; ++i) {
        const FrameCost c{kFullHd * share(random), ms(random), other(random)};
        const double budget = 20.0 + other(random) * 3.0;
        const int k = ChooseLatticeStep(&c, 1, kFullHd, budget);
        ASSERT_GE(k, 1);
        ASSERT_LE(k, WIN_NMS::kMaxLatticeStep);
        const double aim = WIN_NMS::kBudgetAim * budget;
        const double tracingAllowed = std::max(aim - c.otherMs, 0.25 * aim);
        if (k < WIN_NMS::kMaxLatticeStep) {
            EXPECT_LE(Predicted(c, kFullHd, k) - c.otherMs, tracingAllowed + 1e-9);
        }
        if (k > 1) {
            EXPECT_GT(Predicted(c, kFullHd, k - 1) - c.otherMs, tracingAllowed);
        }
        const FrameCost slower{c.tracedPixels, c.tracingMs * 1.5, c.otherMs};
        EXPECT_GE(ChooseLatticeStep(&slower, 1, kFullHd, budget), k);
    }
}

TEST(FrameBudgetTest, OnlyTheMediansOfTheLastFramesCount) {
    const FrameCost steady{kFullHd / 9.0, 36.0, 8.0};  // step 3 within 45 ms
    std::vector<FrameCost> costs(10, FrameCost{kFullHd, 2000.0, 100.0});  // old, slow frames
    for (int i = 0; i < WIN_NMS::kCostWindow; ++i) costs.push_back(steady);
    EXPECT_EQ(ChooseLatticeStep(costs.data(), costs.size(), kFullHd, 50.0), 3);
    // One hiccup (another program took the cores for a frame) changes nothing.
    costs.back() = FrameCost{kFullHd / 9.0, 400.0, 90.0};
    EXPECT_EQ(ChooseLatticeStep(costs.data(), costs.size(), kFullHd, 50.0), 3);
    // Frames that traced nothing carry no cost.
    const FrameCost nothing[2] = {{0.0, 5.0, 5.0}, {0.0, 0.0, 3.0}};
    EXPECT_EQ(ChooseLatticeStep(nothing, 2, kFullHd, 50.0), 1);

    // The ring keeps the last kCostWindow, oldest first.
    WIN_NMS::FrameBudget budget;
    budget.budgetMs = 50.0;
    for (int i = 0; i < 8; ++i) budget.traced.Record(FrameCost{1000.0, static_cast<double>(i), 1.0});
    FrameCost out[WIN_NMS::kCostWindow];
    ASSERT_EQ(budget.traced.Costs(out), static_cast<std::size_t>(WIN_NMS::kCostWindow));
    EXPECT_EQ(budget.hybrid.Costs(out), 0u);  // the modes' costs are apart
    ASSERT_EQ(budget.traced.Costs(out), static_cast<std::size_t>(WIN_NMS::kCostWindow));
    for (int i = 0; i < WIN_NMS::kCostWindow; ++i) EXPECT_EQ(out[i].tracingMs, 3.0 + i);
    std::ostringstream text;
    budget.Print(text);
    EXPECT_NE(text.str().find("frame budget: 50.0 ms"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("1000"), std::string::npos) << text.str();
}

TEST(FrameBudgetTest, AFillingInFrameTracesTheLatticePhasesThatFit) {
    const FrameCost full{kFullHd, 340.0, 8.0};
    // One phase of step 4 is 340 / 16 = 21.25 ms; 45 - 8 = 37 ms are left for tracing: 1
    // phase; of 100 ms, 90 - 8 = 82 ms: 3 phases.
    EXPECT_EQ(ChooseFillPhases(&full, 1, kFullHd, 4, 15, 50.0), 1);
    EXPECT_EQ(ChooseFillPhases(&full, 1, kFullHd, 4, 15, 100.0), 3);
    EXPECT_EQ(ChooseFillPhases(&full, 1, kFullHd, 4, 3, 1000.0), 3);  // never more than are left
    EXPECT_EQ(ChooseFillPhases(&full, 1, kFullHd, 8, 63, 1.0), 1);     // never fewer than one
    EXPECT_EQ(ChooseFillPhases(nullptr, 0, kFullHd, 4, 15, 50.0), 1);
    EXPECT_EQ(ChooseFillPhases(&full, 1, kFullHd, 4, 15, 0.0), 15);    // no budget: all at once
}

TEST(FrameBudgetTest, AHybridFrameIsCoarseOnlyWhenTheWholeFrameWouldNotFit) {
    // The demo at 512 x 512: the whole mask in 2 ms, the rest of the frame 8 ms. It fits the
    // 45 ms aimed at many times over: never coarse, whatever the frames before.
    const double demo = 512.0 * 512.0;
    const FrameCost whole{demo, 2.0, 8.0}, coarse{demo / 4.0, 0.8, 8.0};
    EXPECT_EQ(ChooseMaskStep(&whole, 1, demo, 50.0), 1);
    EXPECT_EQ(ChooseMaskStep(&coarse, 1, demo, 50.0), 1);
    EXPECT_EQ(ChooseMaskStep(nullptr, 0, demo, 50.0), 1);   // nothing measured yet: whole
    EXPECT_EQ(ChooseMaskStep(&whole, 1, demo, 0.0), 1);     // no budget: whole
    // An empty scene traces nothing: whole, however slow the rest of the frame.
    const FrameCost empty{400.0 * 400.0, 0.0, 120.0};
    EXPECT_EQ(ChooseMaskStep(&empty, 1, 400.0 * 400.0, 50.0), 1);
    // At 1920 x 1080: a whole mask of 12 ms beside 45 ms of OpenGL leaves the tracing its least
    // share, 11.25 ms: coarse; the same mask beside 25 ms of OpenGL fits: whole.
    EXPECT_EQ(ChooseMaskStep(std::vector<FrameCost>{{kFullHd, 12.0, 45.0}}.data(), 1, kFullHd, 50.0), 2);
    EXPECT_EQ(ChooseMaskStep(std::vector<FrameCost>{{kFullHd, 12.0, 25.0}}.data(), 1, kFullHd, 50.0), 1);
    // Coarse frames predict the whole frame from their cost per traced pixel.
    EXPECT_EQ(ChooseMaskStep(std::vector<FrameCost>{{kFullHd / 4.0, 5.2, 45.0}}.data(), 1, kFullHd, 50.0), 2);
    EXPECT_EQ(ChooseMaskStep(std::vector<FrameCost>{{kFullHd / 4.0, 2.0, 25.0}}.data(), 1, kFullHd, 50.0), 1);

    // Random costs: coarse exactly when the whole frame's predicted tracing exceeds what the
    // budget leaves it; a whole frame that fits is never coarse.
    std::mt19937 random(30);
    std::uniform_real_distribution<double> ms(0.0, 60.0), other(0.0, 80.0), share(0.2, 1.0);
    for (int i = 0; i < 2000; ++i) {
        FrameCost c[3];
        for (FrameCost& f : c) f = FrameCost{kFullHd * (share(random) < 0.6 ? 1.0 : 0.25), ms(random), other(random)};
        const int step = ChooseMaskStep(c, 3, kFullHd, 50.0);
        double perPixel[3], rest[3];
        for (int k = 0; k < 3; ++k) perPixel[k] = c[k].tracingMs / c[k].tracedPixels, rest[k] = c[k].otherMs;
        std::sort(perPixel, perPixel + 3);
        std::sort(rest, rest + 3);
        const double aim = WIN_NMS::kBudgetAim * 50.0;
        const bool fits = perPixel[1] * kFullHd <= std::max(aim - rest[1], WIN_NMS::kLeastTracingShare * aim);
        ASSERT_EQ(step, fits ? 1 : 2) << i;
    }
}
