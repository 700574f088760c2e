#include "app/frame_budget.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>

namespace WIN_NMS {

namespace {

// Median of n values (n >= 1), sorted in place.
double Median(double* v, std::size_t n) {
    std::sort(v, v + n);
    return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// The medians of the last kCostWindow frames: milliseconds per traced pixel and the rest of
// the frame. False when no frame traced anything.
bool Estimate(const FrameCost* costs, std::size_t count, double& msPerPixel, double& otherMs) {
    const std::size_t first = count > kCostWindow ? count - kCostWindow : 0;
    double perPixel[kCostWindow], other[kCostWindow];
    std::size_t n = 0;
    for (std::size_t i = first; i < count; ++i) {
        if (!(costs[i].tracedPixels > 0.0) || !(costs[i].tracingMs >= 0.0) || !(costs[i].otherMs >= 0.0)) continue;
        perPixel[n] = costs[i].tracingMs / costs[i].tracedPixels;
        other[n] = costs[i].otherMs;
        ++n;
    }
    if (n == 0) return false;
    msPerPixel = Median(perPixel, n);
    otherMs = Median(other, n);
    return true;
}

// What the tracing may take of the budget.
double TracingMs(double budgetMs, double otherMs) {
    const double aim = kBudgetAim * budgetMs;
    return std::max(aim - otherMs, kLeastTracingShare * aim);
}

}  // namespace

int ChooseStep(const FrameCost* costs, std::size_t count, double pixels, double budgetMs, int maxStep) {
    if (!(budgetMs > 0.0)) return 1;
    double msPerPixel = 0.0, otherMs = 0.0;
    if (!Estimate(costs, count, msPerPixel, otherMs)) return 1;
    const double full = msPerPixel * pixels;  // every pixel
    const double allowed = TracingMs(budgetMs, otherMs);
    for (int k = 1; k < maxStep; ++k)
        if (full <= allowed * k * k) return k;
    return std::max(maxStep, 1);
}

int ChooseFillPhases(const FrameCost* costs, std::size_t count, double pixels, int step, int remaining, double budgetMs) {
    remaining = std::max(remaining, 1);
    if (!(budgetMs > 0.0)) return remaining;
    double msPerPixel = 0.0, otherMs = 0.0;
    if (!Estimate(costs, count, msPerPixel, otherMs)) return 1;
    const double phaseMs = msPerPixel * pixels / (static_cast<double>(step) * step);
    if (!(phaseMs > 0.0)) return remaining;
    const double fit = std::floor(TracingMs(budgetMs, otherMs) / phaseMs);
    return static_cast<int>(std::clamp(fit, 1.0, static_cast<double>(remaining)));
}

void CostRing::Record(const FrameCost& cost) {
    ring_[next_] = cost;
    next_ = (next_ + 1) % kCostWindow;
    count_ = std::min<std::size_t>(count_ + 1, kCostWindow);
}

std::size_t CostRing::Costs(FrameCost* out) const {
    // The oldest is next_ once the ring is full, else 0.
    const std::size_t start = count_ == kCostWindow ? next_ : 0;
    for (std::size_t i = 0; i < count_; ++i) out[i] = ring_[(start + i) % kCostWindow];
    return count_;
}

int FrameBudget::Step(double pixels) const {
    FrameCost costs[kCostWindow];
    const std::size_t n = traced.Costs(costs);
    return ChooseLatticeStep(costs, n, pixels, budgetMs);
}

int FrameBudget::FillPhases(double pixels, int step, int remaining) const {
    FrameCost costs[kCostWindow];
    const std::size_t n = traced.Costs(costs);
    return ChooseFillPhases(costs, n, pixels, step, remaining, budgetMs);
}

int FrameBudget::MaskStep(double pixels) const {
    FrameCost costs[kCostWindow];
    const std::size_t n = hybrid.Costs(costs);
    return ChooseMaskStep(costs, n, pixels, budgetMs);
}

void FrameBudget::Print(std::ostream& out) const {
    char line[160];
    if (!On()) {
        out << "frame budget: off (tracer.frame_budget_ms = 0): every pixel of every frame is traced\n";
        return;
    }
    std::snprintf(line, sizeof line, "frame budget: %.1f ms per frame while the view moves\n", budgetMs);
    out << line;
    for (const CostRing* ring : {&traced, &hybrid}) {
        const char* mode = ring == &traced ? "traced-image" : "hybrid";
        FrameCost costs[kCostWindow];
        const std::size_t n = ring->Costs(costs);
        if (n == 0) {
            std::snprintf(line, sizeof line, "  no %s frame measured yet\n", mode);
            out << line;
            continue;
        }
        std::snprintf(line, sizeof line, "  last %s frames' cost, oldest first (traced pixels, tracing ms, rest of the frame ms):\n", mode);
        out << line;
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(line, sizeof line, "  %10.0f %9.1f %9.1f\n", costs[i].tracedPixels, costs[i].tracingMs, costs[i].otherMs);
            out << line;
        }
    }
}

}  // namespace WIN_NMS
