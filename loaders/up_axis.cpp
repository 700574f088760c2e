#include "loaders/up_axis.h"

namespace LOAD_3DS {

namespace {
constexpr const char* kNames[kUpAxisCount] = {"y", "z", "x", "-y", "-z", "-x"};
}

const char* UpAxisName(UpAxis axis) { return kNames[int(axis) % kUpAxisCount]; }

bool ParseUpAxis(const std::string& text, UpAxis& axis) {
    for (int k = 0; k < kUpAxisCount; ++k)
        if (text == kNames[k]) {
            axis = UpAxis(k);
            return true;
        }
    return false;
}

UpAxis NextUpAxis(UpAxis axis) { return UpAxis((int(axis) + 1) % kUpAxisCount); }

UpAxis StepUpAxis(UpAxis first, UpAxis current, int step) {
    static constexpr UpAxis kLikely[kUpAxisCount] = {UpAxis::Y, UpAxis::Z, UpAxis::NegZ, UpAxis::NegY, UpAxis::X, UpAxis::NegX};
    UpAxis order[kUpAxisCount];
    int n = 0, at = 0;
    order[n++] = first;
    for (UpAxis a : kLikely)
        if (a != first) order[n++] = a;
    for (int k = 0; k < kUpAxisCount; ++k)
        if (order[k] == current) at = k;
    return order[((at + step) % kUpAxisCount + kUpAxisCount) % kUpAxisCount];
}

AxisTurn TurnUpright(UpAxis axis) {
    switch (axis) {
        case UpAxis::Z: return {{{1, 0, 0}, {0, 0, 1}, {0, -1, 0}}};   // (x, z, -y): a quarter turn about x
        case UpAxis::X: return {{{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}};   // (-y, x, z): a quarter turn about z
        case UpAxis::NegY: return {{{1, 0, 0}, {0, -1, 0}, {0, 0, -1}}};  // (x, -y, -z): a half turn about x
        case UpAxis::NegZ: return {{{1, 0, 0}, {0, 0, -1}, {0, 1, 0}}};   // (x, -z, y)
        case UpAxis::NegX: return {{{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}}};   // (y, -x, z)
        case UpAxis::Y: break;
    }
    return {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
}

LPoint3 Apply(const AxisTurn& t, const LPoint3& p) {
    const float in[3] = {p.x, p.y, p.z};
    float out[3];
    for (int r = 0; r < 3; ++r) {
        // Each row has exactly one nonzero entry: a signed copy, no rounding.
        out[r] = 0.0f;
        for (int c = 0; c < 3; ++c)
            if (t.row[r][c] != 0) out[r] = t.row[r][c] > 0 ? in[c] : -in[c];
    }
    return {out[0], out[1], out[2]};
}

}  // namespace LOAD_3DS
