// Normals within a crease angle: against a brute-force transcription of their definition on
// random meshes, the cube's edges and a cylinder's side, and a point where thousands of faces
// meet.
#include "loaders/crease.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <tuple>

#include "loaders/normals.h"

using namespace LOAD_3DS;

namespace {

double Dot(const LPoint3& a, const LPoint3& b) { return double(a.x) * b.x + double(a.y) * b.y + double(a.z) * b.z; }

// The definition, face against face: corner k of face f sums, over every face g with a corner at
// the same position whose unit normal is within the crease of f's, g's normal times g's angle
// at that corner.
std::vector<LPoint3> Reference(const std::vector<LPoint3>& p, const std::vector<LFace>& faces, double degrees) {
    const auto normal = [&](const LFace& f) {
        const LPoint3 a = p[f.a], b = p[f.b], c = p[f.c];
        return Normalise(Cross(Subtract(b, c), Subtract(b, a)));
    };
    const auto angle = [&](const LFace& f, int k) {
        const int v[3] = {f.a, f.b, f.c};
        const LPoint3 u = Subtract(p[v[(k + 1) % 3]], p[v[k]]), w = Subtract(p[v[(k + 2) % 3]], p[v[k]]);
        return std::acos(std::clamp(Dot(u, w) / std::sqrt(Dot(u, u) * Dot(w, w)), -1.0, 1.0));
    };
    const double limit = std::cos(degrees * M_PI / 180.0) - 1e-6;
    std::vector<LPoint3> out;
    for (const LFace& f : faces)
        for (int k = 0; k < 3; ++k) {
            const LPoint3 at = p[k == 0 ? f.a : k == 1 ? f.b : f.c];
            double s[3] = {0, 0, 0};
            for (const LFace& g : faces)
                for (int j = 0; j < 3; ++j) {
                    const LPoint3 q = p[j == 0 ? g.a : j == 1 ? g.b : g.c];
                    if (q.x != at.x || q.y != at.y || q.z != at.z || Dot(normal(f), normal(g)) < limit) continue;
                    const LPoint3 n = normal(g);
                    const double w = angle(g, j);
                    s[0] += n.x * w, s[1] += n.y * w, s[2] += n.z * w;
                }
            const double l = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
            out.push_back({float(s[0] / l), float(s[1] / l), float(s[2] / l)});
        }
    return out;
}

TEST(CreaseNormals, EqualTheDefinitionOnRandomMeshesWithSharedPositions) {
    std::mt19937 rng(33);
    std::uniform_real_distribution<float> coordinate(-1.0f, 1.0f);
    for (int round = 0; round < 50; ++round) {
        // Positions on a coarse lattice, so that many vertices share one and faces meet at all angles.
        std::vector<LPoint3> p;
        const auto lattice = [&] { return std::round(coordinate(rng) * 2) / 2; };
        for (int v = 0; v < 30; ++v) p.push_back({lattice(), lattice(), lattice()});
        std::vector<LFace> faces;
        std::uniform_int_distribution<int> pick(0, int(p.size()) - 1);
        while (faces.size() < 60) {
            const LFace f{pick(rng), pick(rng), pick(rng)};
            const LPoint3 n = Cross(Subtract(p[f.b], p[f.c]), Subtract(p[f.b], p[f.a]));
            if (Length(n) > 1e-3f) faces.push_back(f);  // faces of some area: the reference divides by theirs
        }
        const double degrees = 12.5 + 23.0 * (round % 7);  // angles no two lattice faces meet at
        const std::vector<LPoint3> got = CreaseNormals(p, faces, float(degrees)), want = Reference(p, faces, degrees);
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t c = 0; c < got.size(); ++c) EXPECT_GT(Dot(got[c], want[c]), 0.99999) << "round " << round << " corner " << c;
    }
}

TEST(CreaseNormals, ACubeKeepsItsEdgesAndACylindersSideStaysSmooth) {
    // A cube of 8 shared corners: 24 distinct corner normals, each its side's.
    std::vector<LPoint3> p;
    for (int k = 0; k < 8; ++k) p.push_back({float(k & 1), float((k >> 1) & 1), float((k >> 2) & 1)});
    const std::vector<LFace> cube = {{0, 2, 3}, {0, 3, 1}, {4, 5, 7}, {4, 7, 6}, {0, 1, 5}, {0, 5, 4},
                                     {2, 6, 7}, {2, 7, 3}, {0, 4, 6}, {0, 6, 2}, {1, 3, 7}, {1, 7, 5}};
    const std::vector<LPoint3> n = CreaseNormals(p, cube, 40.0f);
    std::set<std::tuple<int, float, float, float>> distinct;
    for (std::size_t c = 0; c < n.size(); ++c) {
        const LFace& f = cube[c / 3];
        distinct.insert({c % 3 == 0 ? f.a : c % 3 == 1 ? f.b : f.c, n[c].x, n[c].y, n[c].z});
        EXPECT_EQ(std::abs(n[c].x) + std::abs(n[c].y) + std::abs(n[c].z), 1.0f);  // an axis: its side's
    }
    EXPECT_EQ(distinct.size(), 24u);

    // A 64-sided cylinder with caps: every corner of the side has the radial normal, every
    // corner of a cap the cap's.
    std::vector<LPoint3> q;
    std::vector<LFace> faces;
    const int sides = 64;
    for (int k = 0; k < sides; ++k) {
        const float a = float(2 * M_PI * k / sides);
        q.push_back({std::cos(a), 0.0f, std::sin(a)});
        q.push_back({std::cos(a), 2.0f, std::sin(a)});
    }
    q.push_back({0, 0, 0});
    q.push_back({0, 2, 0});
    for (int k = 0; k < sides; ++k) {
        const int a = 2 * k, b = 2 * ((k + 1) % sides);
        faces.push_back({a, a + 1, b + 1});
        faces.push_back({a, b + 1, b});
        faces.push_back({2 * sides, a, b});
        faces.push_back({2 * sides + 1, b + 1, a + 1});
    }
    const std::vector<LPoint3> m = CreaseNormals(q, faces, 40.0f);
    for (std::size_t c = 0; c < m.size(); ++c) {
        const LFace& f = faces[c / 3];
        const LPoint3& at = q[c % 3 == 0 ? f.a : c % 3 == 1 ? f.b : f.c];
        if ((c / 3) % 4 < 2) {
            EXPECT_GT(Dot(m[c], Normalise({at.x, 0.0f, at.z})), 0.9999) << c;  // the side: radial
        } else {
            EXPECT_GT(std::abs(m[c].y), 0.9999f) << c;  // a cap: straight up or down
        }
    }
}

TEST(CreaseNormals, ThousandsOfFacesAtOnePointCostLittleAndKeepTheirCrease) {
    // A cone's apex shared by 4,096 faces, and a floor of them around its foot: the cone's corners
    // at the apex average the cone's faces within 40 degrees of their own.
    std::vector<LPoint3> p{{0, 1, 0}};
    std::vector<LFace> faces;
    const int n = 4096;
    for (int k = 0; k < n; ++k) {
        const float a = float(2 * M_PI * k / n);
        p.push_back({std::cos(a), 0.0f, std::sin(a)});
    }
    for (int k = 0; k < n; ++k) faces.push_back({0, 1 + (k + 1) % n, 1 + k});
    const std::vector<LPoint3> got = CreaseNormals(p, faces, 40.0f);
    // Brute force at the apex only, for a handful of faces.
    for (int k : {0, 1000, 2047, 4095}) {
        double s[3] = {0, 0, 0};
        const LPoint3 nk = FaceNormal(p, faces[std::size_t(k)]);
        for (const LFace& g : faces) {
            const LPoint3 ng = FaceNormal(p, g);
            if (Dot(nk, ng) < std::cos(40.0 * M_PI / 180.0)) continue;
            s[0] += ng.x, s[1] += ng.y, s[2] += ng.z;  // equal apex angles: equal weights
        }
        const double l = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
        const LPoint3 want{float(s[0] / l), float(s[1] / l), float(s[2] / l)};
        EXPECT_GT(Dot(got[3 * std::size_t(k)], want), 0.999) << k;  // within the cells' few degrees
    }
}

}  // namespace
