#pragma once
// The frame budget of the traced image: while anything the picture shows changes (the view, the
// light, the window), each frame traces only a lattice of every k-th pixel each way (1/k^2 of
// the pixels) and reconstructs the others from it, with k chosen so that the frame fits
// tracer.frame_budget_ms; once the view holds still the missing pixels are filled in over a
// few frames of the same budget. The choice is a pure function of the last frames' costs, so
// it is tested without clocks.
//
// Cost model: a frame's tracing time is proportional to the pixels it traces (full-trace time
// F per pixel), and the rest of the frame (reconstruction, copy to the window, swap) costs a
// fixed time O. The lattice step is the smallest k with O + F * pixels / k^2 <= kBudgetAim *
// budget.

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
// The step of a first moving frame, before any frame was measured.
inline constexpr int kFirstLatticeStep = 4;
// Frames the choice looks back on (their medians), and the least share of the budget the
// tracing keeps when the rest of the frame alone takes more.
inline constexpr int kCostWindow = 5;
inline constexpr double kLeastTracingShare = 0.25;
// The share of the budget a frame aims at: frames spread around the median cost, so a frame
// predicted at the whole budget would miss it about every other time.
inline constexpr double kBudgetAim = 0.9;

// The lattice step k (1 to kMaxLatticeStep) for a frame of `pixels` pixels within budgetMs,
// from the costs of the last frames, oldest first (only the last kCostWindow count): the
// smallest k with median(other) + median(ms per pixel) * pixels / k^2 <= kBudgetAim * budgetMs,
// the tracing keeping at least kLeastTracingShare of that. No costs: kFirstLatticeStep. A budget of
// 0 or less: 1 (every pixel).
int ChooseLatticeStep(const FrameCost* costs, std::size_t count, double pixels, double budgetMs);

// How many of the step^2 lattice phases a filling-in frame traces within the budget, from the
// same costs: as many as fit (at least 1, at most `remaining`).
int ChooseFillPhases(const FrameCost* costs, std::size_t count, double pixels, int step, int remaining, double budgetMs);

// The budget and the costs of the last frames (a ring of kCostWindow).
class FrameBudget {
public:
    double budgetMs = 0.0;  // tracer.frame_budget_ms; 0: every pixel of every frame

    bool On() const { return budgetMs > 0.0; }
    void Record(const FrameCost& cost);
    // Forget the costs (a new window size or scene: the old costs say nothing about it).
    void Clear() { count_ = 0; }
    int Step(double pixels) const;
    int FillPhases(double pixels, int step, int remaining) const;
    // The costs, oldest first, into out (kCostWindow entries at most); returns how many.
    std::size_t Costs(FrameCost* out) const;
    // The F12 lines: the budget and the last frames' costs.
    void Print(std::ostream& out) const;

private:
    FrameCost ring_[kCostWindow];
    std::size_t next_ = 0;
    std::size_t count_ = 0;
};
}  // namespace WIN_NMS
