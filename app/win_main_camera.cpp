// The application object's camera: the first view, Home and f, zooming towards the surface
// under the cursor, panning, and the eye, target and clipping planes each frame gives the
// ray-tracing scene (which the preview and the tracer both read).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/config.h"
#include "app/model_keys.h"
#include "app/model_turn.h"
#include "app/viewer_objects.h"
#include "app/win_main.h"
#include "errors/errors.h"
#include "raytracer/scene.h"
#include "raytracer/shading.h"

namespace WIN_NMS {

namespace {

Vec3 InWorld(const ORVA_MATH::VECTOR& p, const RAYTR::TObject& object) {
    const ORVA_MATH::VECTOR w = ORVA_MATH::Transform(ORVA_MATH::VECTOR(p.x, p.y, p.z, 1.0f), object.box.transform);
    return Vec3{w.x, w.y, w.z};
}

bool Finite(const ORVA_MATH::VECTOR& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

// World box of an object: its vertices' box carried by its transform (the eight corners).
Bounds ObjectBounds(const RAYTR::TObject& object) {
    Bounds local;
    for (unsigned v = 0; v < object.vertexCount; ++v) {
        const ORVA_MATH::VECTOR& p = object.vertices[v].position;
        if (Finite(p)) local.Add(Vec3{p.x, p.y, p.z});
    }
    Bounds world;
    if (local.Empty()) return world;
    for (int k = 0; k < 8; ++k) {
        const Vec3 c = local.Corner(k);
        world.Add(InWorld(ORVA_MATH::VECTOR(float(c.x), float(c.y), float(c.z), 1.0f), object));
    }
    return world;
}

// "0" or "0,3": model numbers below count, separated by commas; false for anything else.
bool ParseModelList(const std::string& text, unsigned count, std::vector<unsigned>& out) {
    const char* p = text.c_str();
    while (true) {
        char* end = nullptr;
        const long i = std::strtol(p, &end, 10);
        if (end == p || *p == '+' || *p == '-' || i < 0 || static_cast<unsigned long>(i) >= count) return false;
        out.push_back(static_cast<unsigned>(i));
        p = end;
        if (*p == '\0') return true;
        if (*p != ',') return false;
        ++p;
    }
}

}  // namespace

OrbitView WIN_MAIN_CLASS::View() const {
    OrbitView view;
    view.centre = camera.centre;
    view.distance = camera.distance;
    view.tilt = angleX;
    view.turn = angleY;
    return view;
}

void WIN_MAIN_CLASS::SetView(const OrbitView& view) {
    camera.centre = view.centre;
    camera.distance = view.distance;
    angleX = view.tilt;
    angleY = view.turn;
}

void WIN_MAIN_CLASS::SetUpCamera() {
    const RAYTR::Scene* const scene = this->scene();
    if (!scene || !process) return;
    // Only present keys are read: looking up an absent one would insert it.
    const auto& entries = process->config.Entries();
    const auto value = [&](const char* key) -> const std::string* {
        const auto it = entries.find(key);
        return it == entries.end() || it->second.empty() ? nullptr : &it->second;
    };
    bool frame = false;
    if (const std::string* v = value("scene.camera")) {
        if (*v == "frame") frame = true;
        else if (*v != "fixed")
            throw TIRN_ERROR::Error("scene.camera is " + *v + ", but it must be fixed or frame");
    }
    // The models to frame: those named, or else every traced one.
    const unsigned count = scene->objects.Size();
    std::vector<bool> framed(count, false);
    if (const std::string* v = value("scene.frame_models")) {
        std::vector<unsigned> list;
        if (!ParseModelList(*v, count, list))
            throw TIRN_ERROR::Error("scene.frame_models is " + *v +
                                    ", but it must be numbers of loaded models separated by commas, such as 0 or 0,3");
        for (const unsigned i : list) framed[i] = true;
    } else {
        for (unsigned i = 0; i < count; ++i) framed[i] = (scene->objects[i].flags & RAYTR::TObject::kClosestHitFlag) != 0;
    }
    camera.framedModels.clear();
    for (unsigned i = 0; i < count; ++i)
        if (framed[i]) camera.framedModels.push_back(i);
    // The up axes the models were loaded with (the u key turns them from there).
    camera.loadedUp.assign(count, LOAD_3DS::UpAxis::Y);
    camera.loadedTransform.clear();
    for (unsigned i = 0; i < count; ++i) {
        if (i < unsigned(kModelTableSize)) camera.loadedUp[i] = ReadModelOptions(process->config, int(i)).up;
        camera.loadedTransform.push_back(scene->objects[i].box.transform);
    }
    camera.shownUp = camera.loadedUp;
    MeasureBoxes();
    camera.framedFirstView = frame && !camera.framed.Empty();
    SetView(FirstView());
}

void WIN_MAIN_CLASS::MeasureBoxes() {
    const RAYTR::Scene* const scene = this->scene();
    camera.framed = Bounds{};
    camera.scene = Bounds{};
    if (!scene) return;
    for (unsigned i = 0; i < scene->objects.Size(); ++i) {
        const Bounds box = ObjectBounds(scene->objects[i]);
        camera.scene.Add(box);
        if (std::find(camera.framedModels.begin(), camera.framedModels.end(), i) != camera.framedModels.end())
            camera.framed.Add(box);
    }
}

std::vector<Vec3> WIN_MAIN_CLASS::FramedPoints() const {
    std::vector<Vec3> points;
    const RAYTR::Scene* const scene = this->scene();
    if (!scene) return points;
    for (const unsigned i : camera.framedModels) {
        if (i >= scene->objects.Size()) continue;
        const RAYTR::TObject& object = scene->objects[i];
        for (unsigned v = 0; v < object.vertexCount; ++v)
            if (Finite(object.vertices[v].position)) points.push_back(InWorld(object.vertices[v].position, object));
    }
    return points;
}

OrbitView WIN_MAIN_CLASS::FirstView() const {
    return camera.framedFirstView ? FirstFramedView(FramedPoints(), AspectRatio(width, height)) : FixedView();
}

void WIN_MAIN_CLASS::GoHome() { SetView(FirstView()); }

void WIN_MAIN_CLASS::FrameModels() {
    if (camera.framed.Empty()) return;  // nothing to frame (or no scene yet)
    SetView(FramePoints(FramedPoints(), angleX, angleY, AspectRatio(width, height)));
}

void WIN_MAIN_CLASS::ViewFrom(float tilt, float turn) {
    angleX = tilt;
    angleY = turn;
    FrameModels();
}

void WIN_MAIN_CLASS::TurnFramedModels(int step) {
    RAYTR::Scene* const scene = this->scene();
    if (!scene || camera.framedModels.empty()) return;
    for (const unsigned i : camera.framedModels) {
        if (i >= scene->objects.Size() || i >= camera.shownUp.size()) continue;
        RAYTR::TObject& object = scene->objects[i];
        // The box of its vertices in its own coordinates.
        Bounds local;
        for (unsigned v = 0; v < object.vertexCount; ++v) {
            const ORVA_MATH::VECTOR& p = object.vertices[v].position;
            if (Finite(p)) local.Add(Vec3{p.x, p.y, p.z});
        }
        if (local.Empty()) continue;
        const float lo[3] = {float(local.lo.x), float(local.lo.y), float(local.lo.z)};
        const float hi[3] = {float(local.hi.x), float(local.hi.y), float(local.hi.z)};
        camera.shownUp[i] = LOAD_3DS::StepUpAxis(camera.loadedUp[i], camera.shownUp[i], step);
        const ORVA_MATH::MATRIX world =
            TurnedTransform(camera.loadedUp[i], camera.shownUp[i], lo, hi, camera.loadedTransform[i]);
        // SetTransform acts about the midpoint of the object's box: undo that pivot, so that the
        // object's transform is exactly `world`.
        const ORVA_MATH::VECTOR c = ORVA_MATH::Midpoint(object.box.minimum, object.box.maximum);
        object.SetTransform(ORVA_MATH::MATRIX::Translation(c.x, c.y, c.z) * world *
                            ORVA_MATH::MATRIX::Translation(-c.x, -c.y, -c.z));
        std::printf("model %u: its %s axis turned up (%s)\n", i, LOAD_3DS::UpAxisName(camera.shownUp[i]), step < 0 ? "U" : "u");
    }
    std::fflush(stdout);
    MeasureBoxes();
    FrameModels();
    accumulation.Restart();
}

void WIN_MAIN_CLASS::ZoomAt(double x, double y, double factor) {
    const OrbitView view = View();
    Vec3 point = view.centre;
    if (const RAYTR::Scene* const scene = this->scene()) {
        // The traced surface under the cursor, as the tracer's camera ray would find it.
        Vec3 origin, direction;
        WindowRay(view, x, y, width, height, origin, direction);
        const RAYTR::Ray ray(ORVA_MATH::VECTOR(float(origin.x), float(origin.y), float(origin.z), 1.0f),
                             ORVA_MATH::VECTOR(float(direction.x), float(direction.y), float(direction.z), 0.0f));
        RAYTR::RayHit hit;
        if (RAYTR::ClosestHit(ray, *scene, hit)) {
            const ORVA_MATH::VECTOR p = RAYTR::HitPointInWorld(hit);
            point = Vec3{p.x, p.y, p.z};
        }
    }
    SetView(ZoomTowards(view, point, factor, LimitsFor(camera.framed.Empty() ? camera.scene : camera.framed)));
}

void WIN_MAIN_CLASS::PanBy(double dx, double dy) { SetView(Pan(View(), dx, dy, height)); }

void WIN_MAIN_CLASS::PlaceCamera(RAYTR::Scene& scene) const {
    const float angles[2] = {angleX, angleY};
    scene.SetViewRotation(angles);
    // In the turned frame the eye looks at the turned centre from `distance` along +z, so the
    // preview's gluLookAt is a pure translation (for the fixed view exactly the one it always
    // was) and the tracer turns its rays back by the same rotation.
    const ORVA_MATH::VECTOR turned = ORVA_MATH::Transform(
        ORVA_MATH::VECTOR(float(camera.centre.x), float(camera.centre.y), float(camera.centre.z), 1.0f), scene.rotation);
    scene.target = ORVA_MATH::VECTOR(turned.x, turned.y, turned.z, 0.0f);
    scene.eye = ORVA_MATH::VECTOR(turned.x, turned.y, turned.z + static_cast<float>(camera.distance), 0.0f);
    const ClipPlanes planes = PlanesFor(View(), camera.scene);
    scene.nearDistance = planes.nearDistance;
    scene.farDistance = planes.farDistance;
}

}  // namespace WIN_NMS
