#pragma once
// The frame budget: while anything the picture shows changes (the view, the light, the window),
// a frame that would not fit tracer.frame_budget_ms traces fewer pixels. The traced image then
// traces a lattice of every k-th pixel each way (1/k^2 of the pixels) and reconstructs the
// others from it, and once the view holds still fills the missing pixels in over a few frames of
// the same budget; the hybrid frame traces the shadow mask of every second pixel each way (a
// quarter). A frame predicted to fit traces every pixel, as without a budget. The choices are
// pure functions of the last frames' costs, kept apart for the two modes, so they are tested
// without clocks.
//
// Cost model: a frame's tracing time is proportional to the pixels it traces (full-trace time
// F per pixel), and the rest of the frame (the preview, reconstruction, copy to the window,
// swap) costs a fixed time O. The step is the smallest k with O + F * pixels / k^2 <= kBudgetAim
// * budget.

#include <cstddef>
#include <iosfwd>

namespace WIN_NMS {

// One traced-image frame as measured: how many pixels it traced, how long that took and how
// long the rest of the frame took (milliseconds).
struct FrameCost {
    double tracedPixels = 0.0;
    double tracingMs = 0.0;
    double otherMs = 0.0;
};

// The largest lattice step: 1/144 of the pixels. Beyond it a frame is mostly reconstruction
// (whose rays follow the edges, whatever the step) and the moving picture too coarse.
inline constexpr int kMaxLatticeStep = 12;
// The coarse hybrid frame's step: the mask of every second pixel each way.
inline constexpr int kCoarseMaskStep = 2;
// Frames the choice looks back on (their medians), and the least share of the budget the
// tracing keeps when the rest of the frame alone takes more.
inline constexpr int kCostWindow = 5;
inline constexpr double kLeastTracingShare = 0.25;
// The share of the budget a frame aims at: frames spread around the median cost, so a frame
// predicted at the whole budget would miss it about every other time.
inline constexpr double kBudgetAim = 0.9;

// The step k (1 to maxStep) for a frame of `pixels` pixels within budgetMs, from the costs of
// the last frames, oldest first (only the last kCostWindow count): the smallest k with
// median(other) + median(ms per pixel) * pixels / k^2 <= kBudgetAim * budgetMs, the tracing
// keeping at least kLeastTracingShare of that. No costs (nothing measured yet) or a budget of 0
// or less: 1 (every pixel).
int ChooseStep(const FrameCost* costs, std::size_t count, double pixels, double budgetMs, int maxStep);
// The traced image's lattice step, up to kMaxLatticeStep.
inline int ChooseLatticeStep(const FrameCost* costs, std::size_t count, double pixels, double budgetMs) {
    return ChooseStep(costs, count, pixels, budgetMs, kMaxLatticeStep);
}
// The hybrid frame's mask step: 1 (the whole mask) or kCoarseMaskStep.
inline int ChooseMaskStep(const FrameCost* costs, std::size_t count, double pixels, double budgetMs) {
    return ChooseStep(costs, count, pixels, budgetMs, kCoarseMaskStep);
}

// How many of the step^2 lattice phases a filling-in frame traces within the budget, from the
// same costs: as many as fit (at least 1, at most `remaining`).
int ChooseFillPhases(const FrameCost* costs, std::size_t count, double pixels, int step, int remaining, double budgetMs);

// The costs of the last kCostWindow frames of one kind, in a ring.
class CostRing {
public:
    void Record(const FrameCost& cost);
    // The costs, oldest first, into out (kCostWindow entries at most); returns how many.
    std::size_t Costs(FrameCost* out) const;

private:
    FrameCost ring_[kCostWindow];
    std::size_t next_ = 0;
    std::size_t count_ = 0;
};

// The budget and the costs of the last frames of each mode.
class FrameBudget {
public:
    double budgetMs = 0.0;  // tracer.frame_budget_ms; 0: every pixel of every frame

    bool On() const { return budgetMs > 0.0; }
    // The costs of traced-image frames (lattice, full, fill-in, passes) and of hybrid frames.
    CostRing traced;
    CostRing hybrid;
    // The traced image's lattice step, and the phases a filling-in frame traces.
    int Step(double pixels) const;
    int FillPhases(double pixels, int step, int remaining) const;
    // The hybrid frame's mask step.
    int MaskStep(double pixels) const;
    // The F12 lines: the budget and the last frames' costs.
    void Print(std::ostream& out) const;
};
}  // namespace WIN_NMS
