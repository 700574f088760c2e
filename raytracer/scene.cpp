#include "raytracer/scene.h"

#include <GL/gl.h>

namespace RAYTR {

void Scene::AddWideRecord(const WideRecord& record) { wideRecords.Append(record); }

void Scene::AddLight(const LightSource& light) { lights.Append(light); }

void Scene::AddNarrowRecord(const NarrowRecord& record) { narrowRecords.Append(record); }

void Scene::AddObject(const TObject& object) { objects.Append(object); }

Scene::~Scene() = default;

void Scene::SetViewRotation(const float angles[2]) {
    glPushMatrix();
    glLoadIdentity();
    glRotatef(angles[0], 1.0f, 0.0f, 0.0f);
    glRotatef(angles[1], 0.0f, 1.0f, 0.0f);
    // The sixteen floats as OpenGL returns them: column-major for column vectors, which is
    // row-major for the row vectors of MATRIX.
    glGetFloatv(GL_MODELVIEW_MATRIX, rotation.m);
    glPopMatrix();
}

}  // namespace RAYTR
