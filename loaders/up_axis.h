#pragma once
// The axis a model file holds as "up", and the quarter or half turn that stands such a model
// upright in the viewer, whose up is +y. Every turn is a rotation (determinant +1), so faces
// keep their winding; a z-up model's front (its -y side, as modellers draw it) faces +z, the
// camera's side.

#include <cstdint>
#include <string>

#include "loaders/l3ds.h"

namespace LOAD_3DS {

// In the order the viewer's u key steps through them.
enum class UpAxis : std::uint8_t { Y, Z, X, NegY, NegZ, NegX };
inline constexpr int kUpAxisCount = 6;

// "x", "y", "z", "-x", "-y", "-z".
const char* UpAxisName(UpAxis axis);
// Reads one of the names above; false for anything else.
bool ParseUpAxis(const std::string& text, UpAxis& axis);
// The next axis of the u key's cycle (after -x comes y again).
UpAxis NextUpAxis(UpAxis axis);
// The axis `step` places from `current` (1: the next, -1: the one before, cyclically) in the
// order a model whose first axis was `first` tries them: `first`, then y and z (the axes files
// use), their opposites, then x and -x. So the u key reaches the likely axes first and U goes back.
UpAxis StepUpAxis(UpAxis first, UpAxis current, int step);

// The turn of a model whose up is `axis`: out = turn * in (a column vector; each row holds
// one +1 or -1). The same turn carries normals.
struct AxisTurn {
    int row[3][3];
};
AxisTurn TurnUpright(UpAxis axis);
LPoint3 Apply(const AxisTurn& turn, const LPoint3& p);

// The import helper's word for the up axis a file declares: 0 when it declares none, else 1 +
// the axis (a byte on the wire, checked on arrival).
inline constexpr std::uint8_t kUpUndeclared = 0;
inline constexpr std::uint8_t DeclaredUp(UpAxis axis) { return std::uint8_t(1 + int(axis)); }
inline constexpr bool IsDeclaredUp(std::uint8_t word) { return word <= kUpAxisCount; }

}  // namespace LOAD_3DS
