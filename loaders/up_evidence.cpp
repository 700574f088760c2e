#include "loaders/up_evidence.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <memory>

#include "loaders/safe_open.h"

namespace LOAD_3DS {

namespace {

bool Alnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

float At(const LPoint3& p, int k) { return k == 0 ? p.x : (k == 1 ? p.y : p.z); }

// "up_axis z", "up axis: -y", "up = y" in a lower-case line: the axis, or -1.
int NamedUp(const std::string& line) {
    for (std::size_t at = line.find("up"); at != std::string::npos; at = line.find("up", at + 1)) {
        if (at > 0 && Alnum(line[at - 1])) continue;
        std::size_t p = at + 2;
        if (p < line.size() && (line[p] == '_' || line[p] == ' ' || line[p] == '-') && line.compare(p + 1, 4, "axis") == 0)
            p += 5;
        bool separated = false;
        while (p < line.size() && (line[p] == ' ' || line[p] == '\t' || line[p] == ':' || line[p] == '=')) ++p, separated = true;
        if (!separated) continue;
        bool negative = false;
        if (p < line.size() && (line[p] == '-' || line[p] == '+')) negative = line[p++] == '-';
        if (p >= line.size() || (line[p] != 'x' && line[p] != 'y' && line[p] != 'z')) continue;
        if (p + 1 < line.size() && Alnum(line[p + 1])) continue;
        const UpAxis axis = line[p] == 'x' ? (negative ? UpAxis::NegX : UpAxis::X)
                            : line[p] == 'y' ? (negative ? UpAxis::NegY : UpAxis::Y)
                                             : (negative ? UpAxis::NegZ : UpAxis::Z);
        return int(axis);
    }
    return -1;
}

}  // namespace

std::uint8_t PlyHeaderUp(std::string_view header, std::string* why) {
    std::string lower(header.substr(0, kMaxPlyHeader));
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    std::uint8_t program = kUpUndeclared;
    std::string programWhy;
    for (std::size_t at = 0; at < lower.size();) {
        std::size_t end = lower.find('\n', at);
        if (end == std::string::npos) end = lower.size();
        const std::string line = lower.substr(at, end - at);
        at = end + 1;
        if (line.rfind("end_header", 0) == 0) break;
        // Only the header's free text: comments, object information, stray words.
        if (line.rfind("element", 0) == 0 || line.rfind("property", 0) == 0 || line.rfind("format", 0) == 0) continue;
        if (const int named = NamedUp(line); named >= 0) {
            if (why) *why = "as its PLY header says";
            return DeclaredUp(UpAxis(named));
        }
        if (program != kUpUndeclared) continue;
        if (line.find("zipper") != std::string::npos || line.find("vrip") != std::string::npos) {
            program = DeclaredUp(UpAxis::Y);
            programWhy = "a Stanford scan, y-up";
        }
    }
    if (why && program != kUpUndeclared) *why = programWhy;
    return program;
}

std::uint8_t PlyFileUp(const std::string& file, std::string* why) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(OpenRegularStream(file, ImpliedFolder(file), nullptr), &std::fclose);
    if (!in) return kUpUndeclared;
    std::string header(kMaxPlyHeader, '\0');
    header.resize(std::fread(header.data(), 1, header.size(), in.get()));
    if (header.rfind("ply", 0) != 0) return kUpUndeclared;
    return PlyHeaderUp(header, why);
}

std::uint8_t FlatBaseUp(const std::vector<LPoint3>& positions, const std::vector<LFace>& faces, std::string* why) {
    if (positions.empty() || faces.empty()) return kUpUndeclared;
    float lo[3], hi[3];
    for (int k = 0; k < 3; ++k) lo[k] = hi[k] = At(positions[0], k);
    for (const LPoint3& p : positions)
        for (int k = 0; k < 3; ++k) {
            const float v = At(p, k);
            if (!std::isfinite(v)) return kUpUndeclared;
            lo[k] = std::min(lo[k], v);
            hi[k] = std::max(hi[k], v);
        }
    const double side = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]});
    if (!(side > 0.0)) return kUpUndeclared;
    const double near = 0.005 * side;
    // Flat area on each side: [axis][0] at the lowest value, [axis][1] at the highest.
    double flat[3][2] = {{0, 0}, {0, 0}, {0, 0}}, total = 0.0;
    for (const LFace& f : faces) {
        if (f.a < 0 || f.b < 0 || f.c < 0 || std::size_t(f.a) >= positions.size() || std::size_t(f.b) >= positions.size() ||
            std::size_t(f.c) >= positions.size())
            continue;
        const LPoint3 &a = positions[std::size_t(f.a)], &b = positions[std::size_t(f.b)], &c = positions[std::size_t(f.c)];
        const double u[3] = {double(b.x) - a.x, double(b.y) - a.y, double(b.z) - a.z};
        const double v[3] = {double(c.x) - a.x, double(c.y) - a.y, double(c.z) - a.z};
        const double n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
        const double twice = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        if (!(twice > 0.0)) continue;
        total += twice;
        for (int k = 0; k < 3; ++k) {
            if (std::fabs(n[k]) < 0.99 * twice) continue;
            const float corners[3] = {At(a, k), At(b, k), At(c, k)};
            for (int s = 0; s < 2; ++s) {
                const float plane = s == 0 ? lo[k] : hi[k];
                bool in = true;
                for (float x : corners) in = in && std::fabs(double(x) - plane) <= near;
                if (in) flat[k][s] += twice;
            }
        }
    }
    int bestAxis = 0, bestSide = 0;
    for (int k = 0; k < 3; ++k)
        for (int s = 0; s < 2; ++s)
            if (flat[k][s] > flat[bestAxis][bestSide]) bestAxis = k, bestSide = s;
    const double best = flat[bestAxis][bestSide];
    if (!(best > 0.0) || !(best >= 0.01 * total)) return kUpUndeclared;
    for (int k = 0; k < 3; ++k)
        for (int s = 0; s < 2; ++s)
            if ((k != bestAxis || s != bestSide) && flat[k][s] > 0.1 * best) return kUpUndeclared;
    // A base at the lowest value of an axis: that axis is up; at the highest: its opposite.
    static constexpr UpAxis kUp[3][2] = {{UpAxis::X, UpAxis::NegX}, {UpAxis::Y, UpAxis::NegY}, {UpAxis::Z, UpAxis::NegZ}};
    if (why) *why = "guessed from its flat base";
    return DeclaredUp(kUp[bestAxis][bestSide]);
}

}  // namespace LOAD_3DS
