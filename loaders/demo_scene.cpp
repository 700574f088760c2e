#include "loaders/demo_scene.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include "loaders/bmp_writer.h"
#include "loaders/folder_paths.h"

namespace LOAD_3DS {

namespace {

constexpr double kPi = 3.14159265358979323846;

struct D3 {
    double x, y, z;
};
D3 operator+(D3 a, D3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
D3 operator-(D3 a, D3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
D3 operator*(D3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }
D3 CrossD(D3 a, D3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
D3 Unit(D3 a) {
    const double l = std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z);
    return a * (1.0 / l);
}

// The knot's centre line, scaled so that the curve stays within 2.55 of the z axis.
D3 KnotCurve(double t) {
    const double s = 0.85;
    const double r = 2.0 + std::cos(3.0 * t);
    return {s * r * std::cos(2.0 * t), s * r * std::sin(2.0 * t), s * std::sin(3.0 * t)};
}

// A lattice of rows x columns vertices joined into quads of two triangles each; (i, j) is
// vertex i * columns + j. Triangles are (i,j) (i,j+1) (i+1,j+1) and (i,j) (i+1,j+1) (i+1,j).
void AddQuads(WriterMesh& m, int rows, int columns) {
    for (int i = 0; i + 1 < rows; ++i)
        for (int j = 0; j + 1 < columns; ++j) {
            const int a = i * columns + j, b = i * columns + j + 1;
            const int c = (i + 1) * columns + j + 1, d = (i + 1) * columns + j;
            m.faces.push_back({a, b, c});
            m.faces.push_back({a, c, d});
        }
}

// Smooth value noise on a lattice that wraps every `period` cells along x.
double Hash(int x, int y) {
    std::uint32_t h = std::uint32_t(x) * 374761393u + std::uint32_t(y) * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return double((h ^ (h >> 16)) & 0xFFFFFF) / double(0xFFFFFF);
}
double ValueNoise(double x, double y, int period) {
    const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
    const double fx = x - x0, fy = y - y0;
    const double sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
    auto at = [&](int i, int j) { return Hash(((i % period) + period) % period, j); };
    const double top = at(x0, y0) + (at(x0 + 1, y0) - at(x0, y0)) * sx;
    const double bottom = at(x0, y0 + 1) + (at(x0 + 1, y0 + 1) - at(x0, y0 + 1)) * sx;
    return top + (bottom - top) * sy;
}

unsigned char Byte(double v) { return static_cast<unsigned char>(std::clamp(v, 0.0, 255.0) + 0.5); }

}  // namespace

WriterMesh MakeTorusKnot(int segments, int sides) {
    WriterMesh m;
    m.name = "TorusKnot";
    const double tube = 0.45;
    // Rings along the curve; ring `segments` repeats ring 0 and column `sides` column 0.
    for (int i = 0; i <= segments; ++i) {
        const double t = 2.0 * kPi * double(i % segments) / segments;
        const double e = 1e-4;
        const D3 c = KnotCurve(t);
        const D3 tangent = Unit(KnotCurve(t + e) - KnotCurve(t - e));
        // The curvature direction gives the tube's frame; the knot curves everywhere.
        const D3 bend = KnotCurve(t + e) + KnotCurve(t - e) - c * 2.0;
        const D3 binormal = Unit(CrossD(tangent, bend));
        const D3 normal = CrossD(binormal, tangent);
        for (int j = 0; j <= sides; ++j) {
            const double phi = 2.0 * kPi * double(j % sides) / sides;
            const D3 p = c + (normal * std::cos(phi) + binormal * std::sin(phi)) * tube;
            m.vertices.push_back({float(p.x), float(p.y), float(p.z)});
            // u runs once along the knot and v over an eighth of the texture around the tube, so
            // the checker shows square-ish patches and every coordinate stays inside [0, 1]:
            // the tracer clamps coordinates instead of repeating the texture.
            m.uvs.push_back({float(double(i) / segments), float(double(j) / sides / 8.0)});
        }
    }
    // The curve is not symmetric about the z axis: centre the box on the origin, then scale
    // so that the larger half-width across x and y is 3 units.
    float lo[3] = {1e30f, 1e30f, 1e30f}, hi[3] = {-1e30f, -1e30f, -1e30f};
    for (const LPoint3& p : m.vertices) {
        const float c[3] = {p.x, p.y, p.z};
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], c[k]);
            hi[k] = std::max(hi[k], c[k]);
        }
    }
    const double half = std::max(hi[0] - lo[0], hi[1] - lo[1]) / 2.0;
    const double scale = 3.0 / half;
    for (LPoint3& p : m.vertices) {
        p.x = float((p.x - (lo[0] + hi[0]) / 2.0) * scale);
        p.y = float((p.y - (lo[1] + hi[1]) / 2.0) * scale);
        p.z = float((p.z - (lo[2] + hi[2]) / 2.0) * scale);
    }
    // With phi turning from the normal to the binormal, (i,j) (i,j+1) (i+1,j+1) winds
    // counter-clockwise seen from outside the tube.
    AddQuads(m, segments + 1, sides + 1);
    return m;
}

WriterMesh MakeSkyDome(float radius, int slices, int stacks) {
    WriterMesh m;
    m.name = "SkyDome";
    // Column i is the longitude, row j the latitude from the lower pole.
    for (int j = 0; j <= stacks; ++j) {
        const double theta = -kPi / 2 + kPi * j / stacks;
        for (int i = 0; i <= slices; ++i) {
            const double phi = 2.0 * kPi * double(i % slices) / slices;
            const double ct = (j == 0 || j == stacks) ? 0.0 : std::cos(theta);
            m.vertices.push_back({float(radius * ct * std::cos(phi)), float(radius * std::sin(theta)),
                                  float(radius * ct * std::sin(phi))});
            m.uvs.push_back({float(double(i) / slices), float(double(j) / stacks)});
        }
    }
    // Faces wind from east to north, which points them at the centre; the triangle of each
    // pole quad that would have no area is left out.
    const int columns = slices + 1;
    for (int j = 0; j < stacks; ++j)
        for (int i = 0; i < slices; ++i) {
            const int a = j * columns + i, b = j * columns + i + 1;
            const int c = (j + 1) * columns + i + 1, d = (j + 1) * columns + i;
            if (j != 0) m.faces.push_back({a, b, c});
            if (j != stacks - 1) m.faces.push_back({a, c, d});
        }
    return m;
}

WriterMesh MakeFloor(float size, float tile) {
    WriterMesh m;
    m.name = "Floor";
    // Tiles of side `tile`, each with its own four corners so that each carries the whole
    // texture once: the checker repeats from tile to tile while every mapping coordinate stays
    // inside [0, 1] (the tracer clamps coordinates, OpenGL repeats them; inside [0, 1] they
    // agree). Two large triangles per tile keep the floor's grid small.
    const int tiles = std::max(1, static_cast<int>(std::ceil(size / tile - 1e-6)));
    const double h = tiles * tile / 2.0;
    for (int i = 0; i < tiles; ++i)
        for (int j = 0; j < tiles; ++j) {
            const double x0 = -h + tile * i, z0 = -h + tile * j;
            const int base = static_cast<int>(m.vertices.size());
            // Corners (x, z), (x, z + 1), (x + 1, z + 1), (x + 1, z) in tile steps; u along x,
            // v along z.
            const double corner[4][2] = {{0, 0}, {0, 1}, {1, 1}, {1, 0}};
            for (const auto& c : corner) {
                m.vertices.push_back({float(x0 + tile * c[0]), 0.0f, float(z0 + tile * c[1])});
                m.uvs.push_back({float(c[0]), float(c[1])});
            }
            // (x,z) (x,z+1) (x+1,z+1) winds counter-clockwise seen from above.
            m.faces.push_back({base, base + 1, base + 2});
            m.faces.push_back({base, base + 2, base + 3});
        }
    return m;
}

WriterMesh MakeDemoKnot() {
    // The viewer lowers model 0 by 1.65 and the floor by 5; the light circles at heights from
    // 1 to 3. Scaled by 0.9 and lowered by 0.6 the knot spans heights -4.95 to 0.45 in the
    // viewer: it stands just above the floor and stays below the light everywhere on the
    // light's path, so every shadow it casts runs down onto the floor, within about 43 units of
    // the centre, and never reaches the sky dome.
    WriterMesh m = MakeTorusKnot();
    for (LPoint3& p : m.vertices) {
        p.x *= 0.9f;
        p.y = p.y * 0.9f - 0.6f;
        p.z *= 0.9f;
    }
    return m;
}

std::vector<unsigned char> MakeCheckerImage(int size, int squares) {
    std::vector<unsigned char> rgb(std::size_t(size) * size * 3);
    const int square = std::max(1, size / squares);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const bool light = ((x / square) + (y / square)) % 2 == 0;
            // A thin darker border inside each square shows the mapping's direction and scale.
            const bool edge = x % square == 0 || y % square == 0;
            unsigned char* p = &rgb[(std::size_t(y) * size + x) * 3];
            const double shade = edge ? 0.8 : 1.0;
            p[0] = Byte((light ? 236 : 46) * shade);
            p[1] = Byte((light ? 226 : 112) * shade);
            p[2] = Byte((light ? 206 : 124) * shade);
        }
    return rgb;
}

std::vector<unsigned char> MakeSkyImage(int width, int height) {
    std::vector<unsigned char> rgb(std::size_t(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        // v from 0 (lower pole) to 1 (upper pole); 0.5 is the horizon.
        const double v = (y + 0.5) / height;
        for (int x = 0; x < width; ++x) {
            double r, g, b;
            if (v < 0.5) {
                // Below the horizon: a hazy ground colour darkening downwards.
                const double k = v / 0.5;
                r = 70 + 110 * k;
                g = 78 + 112 * k;
                b = 88 + 122 * k;
            } else {
                // Sky: pale at the horizon, deep blue at the zenith, with soft clouds.
                const double k = std::pow((v - 0.5) / 0.5, 0.6);
                r = 200 - 150 * k;
                g = 220 - 120 * k;
                b = 240 - 40 * k;
                const double u = double(x) / width;
                double n = 0.0, amplitude = 0.5;
                for (int o = 0; o < 4; ++o) {
                    const int period = 8 << o;
                    n += amplitude * ValueNoise(u * period, v * period * 0.5 * height / width * 2.0, period);
                    amplitude *= 0.5;
                }
                const double cloud = std::clamp((n - 0.45) * 3.0, 0.0, 1.0) * (1.0 - 0.6 * k);
                r += (250 - r) * cloud;
                g += (250 - g) * cloud;
                b += (252 - b) * cloud;
            }
            unsigned char* p = &rgb[(std::size_t(y) * width + x) * 3];
            p[0] = Byte(r);
            p[1] = Byte(g);
            p[2] = Byte(b);
        }
    }
    return rgb;
}

std::string SkyFloorAndTracerConfiguration(const std::string& gridFactor, const std::string& factorNote,
                                           const std::string& frameModels, const std::string& moreSceneKeys) {
    const std::string framed = frameModels == "0" ? "model 0 alone" : "models " + frameModels;
    return "    // The f key (and a first view with camera = frame) frames " + framed + ": the sky\n"
           "    // and the floor are its surroundings.\n"
           "    frame_models = " + frameModels + "\n"
           "    // The sky surrounds everything: it casts no shadow, so it is not traced.\n"
           "    model1 = data/sky.3ds\n"
           "    model1_do_trace = 0\n"
           "    model2 = data/floor.3ds\n"
           "    model2_do_trace = 1\n"
           "    // The light is a sphere of this radius: soft shadow edges once the picture settles.\n"
           "    light_radius = 0.3\n"
           "    // The preview lights the models as the tracer does: from a point, fading with distance\n"
           "    // (directional: from the light's direction, at full strength everywhere).\n"
           "    preview_light = point\n" +
           moreSceneKeys +
           "}\n"
           "tracer {\n"
           "    // While the view moves a frame keeps within this many milliseconds, tracing fewer\n"
           "    // pixels where it must (0: every pixel of every frame).\n"
           "    frame_budget_ms = 50\n"
           "    // Once the view holds still the picture settles over up to this many passes.\n"
           "    max_samples = 256\n"
           "    // The settling traced image shown through the denoiser (d switches it), its passes\n"
           "    // spent where the picture is still noisy.\n"
           "    denoise = 1\n"
           "    adaptive = 1\n"
           "    threads_num = 4\n"
           "    use_zbuffer_values = 1\n"
           "    // Hybrid shadows take away the light's own share and keep the ambient light\n"
           "    // (black: the preview multiplied by the shadow mask, shadows black).\n"
           "    shadows = ambient\n"
           "    // Traced rays that leave the models show the sky dome (model 1).\n"
           "    sky = dome\n"
           "    regular_grid {\n"
           "        // Any value other than fast_algorithm selects the exact triangle-cell overlap\n"
           "        // test, which leaves no gaps in the flat floor's cells.\n"
           "        algoritm_type = accurancy_algorithm\n"
           "        // cell edge = average first triangle edge / this factor" + factorNote + "\n"
           "        cub_less_elem_times = " + gridFactor + "\n"
           "    }\n"
           "}\n";
}

std::string DemoConfiguration() {
    return "// Red Owl demo scene: a torus knot over a checkered floor inside a sky dome.\n"
           "win {\n"
           "    width = 512\n"
           "    height = 512\n"
           "}\n"
           "scene {\n"
           "    N_models = 3\n"
           "    model0 = data/knot.3ds\n"
           "    model0_do_trace = 1\n" +
           SkyFloorAndTracerConfiguration("auto", ", or auto:\n"
                                                  "        // the edge that gives about 0.4 cells per triangle");
}

bool WriteDemoScene(const std::string& dir, std::string* error) {
    // Inside dir only, through no link below it (see WriteBytesInside).
    const std::string configuration = DemoConfiguration();
    const std::pair<const char*, std::vector<unsigned char>> files[] = {
        {"data/texture1.bmp", EncodeBMP24(256, 256, MakeCheckerImage().data())},
        {"data/SKY.bmp", EncodeBMP24(512, 256, MakeSkyImage().data())},
        {"data/knot.3ds", Encode3DS({MakeDemoKnot()})},
        {"data/sky.3ds", Encode3DS({MakeSkyDome()})},
        {"data/floor.3ds", Encode3DS({MakeFloor()})},
        {"release.cgf", std::vector<unsigned char>(configuration.begin(), configuration.end())}};
    for (const auto& [name, bytes] : files) {
        if (bytes.empty()) {
            if (error) *error = std::string("cannot encode ") + name;
            return false;
        }
        if (!WriteBytesInside(dir, name, bytes, error)) return false;
    }
    return true;
}

}  // namespace LOAD_3DS
