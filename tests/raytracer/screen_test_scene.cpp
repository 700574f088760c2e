#include "tests/raytracer/screen_test_scene.h"

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <system_error>

#include "grid/regular_grid.h"
#include "loaders/demo_scene.h"
#include "math/matrix.h"

namespace redowl_test {

using ORVA_MATH::Cross;
using ORVA_MATH::Normalised;

std::unique_ptr<RAYTR::TObject> MakeTracedObject(const std::vector<VECTOR>& corners) {
    auto object = std::make_unique<RAYTR::TObject>();
    const auto n = static_cast<unsigned>(corners.size());
    object->Allocate(n, n, n / 3);
    // Planar texture coordinates over the extent of x and y.
    float minX = corners[0].x, maxX = minX, minY = corners[0].y, maxY = minY;
    for (const VECTOR& c : corners) {
        minX = std::fmin(minX, c.x);
        maxX = std::fmax(maxX, c.x);
        minY = std::fmin(minY, c.y);
        maxY = std::fmax(maxY, c.y);
    }
    const float sx = maxX > minX ? 1.0f / (maxX - minX) : 0.0f;
    const float sy = maxY > minY ? 1.0f / (maxY - minY) : 0.0f;
    for (unsigned t = 0; t < n / 3; ++t) {
        const VECTOR& a = corners[3 * t];
        const VECTOR& b = corners[3 * t + 1];
        const VECTOR& c = corners[3 * t + 2];
        VECTOR normal = Normalised(Cross(b - a, c - a));
        normal.w = 1.0f;
        for (unsigned k = 0; k < 3; ++k) {
            ORVA_GRAPHICS::VERTEX& v = object->vertices[3 * t + k];
            const VECTOR& p = corners[3 * t + k];
            v.position = VECTOR(p.x, p.y, p.z, 1.0f);
            v.normal = normal;
            v.u = (p.x - minX) * sx;
            v.v = (p.y - minY) * sy;
            object->indices[3 * t + k] = 3 * t + k;
        }
        object->triangles[t].A = &object->vertices[3 * t];
        object->triangles[t].B = &object->vertices[3 * t + 1];
        object->triangles[t].C = &object->vertices[3 * t + 2];
    }
    object->PrepareForTracing();
    object->flags = 0x0F;
    return object;
}

std::unique_ptr<RAYTR::TObject> MakeBox(VECTOR lo, VECTOR hi) {
    auto P = [&](int x, int y, int z) { return VECTOR(x ? hi.x : lo.x, y ? hi.y : lo.y, z ? hi.z : lo.z, 1.0f); };
    std::vector<VECTOR> c;
    // Each face as two counter-clockwise triangles seen from outside.
    auto face = [&](VECTOR a, VECTOR b, VECTOR d, VECTOR e) {
        c.insert(c.end(), {a, b, d, a, d, e});
    };
    face(P(0, 0, 1), P(1, 0, 1), P(1, 1, 1), P(0, 1, 1));  // +z
    face(P(1, 0, 0), P(0, 0, 0), P(0, 1, 0), P(1, 1, 0));  // -z
    face(P(1, 0, 1), P(1, 0, 0), P(1, 1, 0), P(1, 1, 1));  // +x
    face(P(0, 0, 0), P(0, 0, 1), P(0, 1, 1), P(0, 1, 0));  // -x
    face(P(0, 1, 1), P(1, 1, 1), P(1, 1, 0), P(0, 1, 0));  // +y
    face(P(0, 0, 0), P(1, 0, 0), P(1, 0, 1), P(0, 0, 1));  // -y
    return MakeTracedObject(c);
}

std::unique_ptr<RAYTR::TObject> MakeFloor(float height, float half) {
    const VECTOR a(-half, height, half, 1.0f), b(half, height, half, 1.0f);
    const VECTOR d(half, height, -half, 1.0f), e(-half, height, -half, 1.0f);
    return MakeTracedObject({a, b, d, a, d, e});
}

RAYTR::LightSource AssemblyLight(VECTOR position) {
    RAYTR::LightSource light;
    light.ambient = 1.0f;
    light.a0 = 1.0f;
    light.a1 = 0.01f;
    light.a2 = 0.001f;
    light.position = position;
    light.SetColour(255, 255, 255);
    return light;
}

void SetAssemblyCamera(RAYTR::Scene& scene) {
    scene.eye = VECTOR(0.0f, 0.0f, 15.0f, 0.0f);
    scene.target = VECTOR(0.0f, 0.0f, 0.0f, 0.0f);
}

std::unique_ptr<RAYTR::Scene> MakeBoxOverFloorScene(VECTOR lightPosition) {
    auto scene = std::make_unique<RAYTR::Scene>();
    scene->AddObject(*MakeFloor(-2.0f, 20.0f));
    scene->AddObject(*MakeBox(VECTOR(-1.0f, -0.5f, -1.0f, 1.0f), VECTOR(1.0f, 0.5f, 1.0f, 1.0f)));
    scene->AddLight(AssemblyLight(lightPosition));
    SetAssemblyCamera(*scene);
    return scene;
}

RAYTR::Scene* DemoScene() {
    static RAYTR::Scene* demo = [] () -> RAYTR::Scene* {
        // A folder of this process's own: tests run as parallel processes.
        const std::string dir = std::string(REDOWL_BINARY_DIR) + "/screen_test_demo_" + std::to_string(getpid());
        if (!LOAD_3DS::WriteDemoScene(dir)) return nullptr;
        auto* scene = new RAYTR::Scene();
        // The model table: fixed transforms and textures first, then loading and grids.
        static RAYTR::TObject models[5];
        models[0].SetTransform(ORVA_MATH::MATRIX::Translation(0.0f, -1.65f, 0.0f));
        models[2].SetTransform(ORVA_MATH::MATRIX::Translation(0.0f, -5.0f, 0.0f));
        models[0].AssignTexture(dir + "/data/texture1.bmp", 0);
        models[1].AssignTexture(dir + "/data/SKY.bmp", 0);
        models[2].AssignTexture(dir + "/data/texture1.bmp", 0);
        const char* files[3] = {"/data/knot.3ds", "/data/sky.3ds", "/data/floor.3ds"};
        const bool traced[3] = {true, false, true};
        for (int i = 0; i < 3; ++i) {
            models[i].LoadFrom3DS(dir + files[i]);
            if (traced[i]) {
                models[i].gridSettings.factor = 0.75f;  // the demo's release.cgf
                models[i].PrepareForTracing();
                models[i].flags = 15;
            } else {
                models[i].flags = 3;
            }
            scene->AddObject(models[i]);
        }
        scene->AddLight(AssemblyLight(FirstFrameLight()));
        SetAssemblyCamera(*scene);
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
        return scene;
    }();
    return demo;
}

VECTOR FirstFrameLight() {
    return VECTOR(4.0f * static_cast<float>(std::cos(1.0)), static_cast<float>(std::cos(1.0)) + 2.0f,
                  8.0f * static_cast<float>(std::sin(1.0)), 0.0f);
}

}  // namespace redowl_test
