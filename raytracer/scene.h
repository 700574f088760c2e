#pragma once
// What the ray tracer traces: copies of the traceable objects, the point lights, the camera's
// eye and target, the near and far distances shared with the OpenGL preview, and the view
// rotation that turns the whole scene in front of the camera.
//
// The window thread fills the scene at assembly and changes light 0 and the rotation between
// frames; while a frame is traced the worker threads only read it (raytracer/shading.h).

#include "grid/grow_array.h"
#include "math/aligned.h"
#include "math/matrix.h"
#include "math/vector.h"
#include "raytracer/ray.h"
#include "raytracer/sky.h"
#include "raytracer/sky_light.h"
#include "raytracer/tobject.h"

namespace RAYTR {

class Scene : public ORVA_MATH::SSE_Aligned_Object {
public:
    // Each list grows by 16 elements when count + 1 reaches the capacity, so it is never full.
    // Growing the object list default-constructs TObjects (each with an empty grid) and copies
    // the old ones twice: it belongs to assembly, not to frames.
    GrowArray<TObject> objects;
    GrowArray<NarrowRecord> narrowRecords;
    GrowArray<LightSource> lights;
    GrowArray<WideRecord> wideRecords;
    VECTOR eye{0.0f, 0.0f, 0.0f, 1.0f};
    VECTOR target{0.0f, 0.0f, 0.0f, 1.0f};  // the point looked at
    VECTOR third{0.0f, 0.0f, 0.0f, 1.0f};   // not read by the tracer
    float nearDistance = 1.0f;
    float farDistance = 1000.0f;
    // Row-vector convention, as OpenGL hands it back; a pure rotation (its inverse is its
    // transpose). The tracer turns its camera rays by its inverse.
    MATRIX rotation = MATRIX::Identity();
    // What traced rays show when they leave every traced model (black unless assembly sets it).
    SkyDome sky;
    // The sky light and what described materials' shading needs to know of the scene (set by
    // PrepareLighting once the objects and the sky are in place).
    SceneLighting lighting;

    Scene() = default;
    // Not copyable (objects are heavy); a move keeps every element where it is, so records
    // that point into the objects stay valid.
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;
    Scene(Scene&&) = default;
    Scene& operator=(Scene&&) = default;

    // Each appends a copy (an object copy is deep: it owns its own grid).
    virtual void AddWideRecord(const WideRecord& record);
    virtual void AddLight(const LightSource& light);
    virtual void AddNarrowRecord(const NarrowRecord& record);
    virtual void AddObject(const TObject& object);
    virtual ~Scene();

    VECTOR GetEye() const { return eye; }
    VECTOR GetTarget() const { return target; }

    // rotation = the model-view matrix of glRotatef(angles[0], 1, 0, 0) then
    // glRotatef(angles[1], 0, 1, 0) on the identity (degrees), computed by OpenGL: needs a
    // current context with the model-view mode selected; the GL matrix stack is left as it was.
    void SetViewRotation(const float angles[2]);
};

}  // namespace RAYTR
