#include "raytracer/scene.h"

#include <GL/gl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>

#include "errors/message_box.h"
#include "tests/raytracer/scene_fixtures.h"
#include "tests/support/gl_context.h"

namespace {

using namespace redowl_test;
using RAYTR::LightSource;
using RAYTR::Scene;
using RAYTR::TObject;

TEST(SceneTest, ConstructionGivesEmptyListsAndTheCameraDefaults) {
    auto scene = std::make_unique<Scene>();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(scene.get()) % 16, 0u);
    EXPECT_EQ(scene->objects.Size(), 0u);
    EXPECT_EQ(scene->objects.Capacity(), 0u);
    EXPECT_EQ(scene->lights.Size(), 0u);
    EXPECT_EQ(scene->narrowRecords.Size(), 0u);
    EXPECT_EQ(scene->wideRecords.Size(), 0u);
    EXPECT_EQ(scene->nearDistance, 1.0f);
    EXPECT_EQ(scene->farDistance, 1000.0f);
    EXPECT_EQ(scene->eye.w, 1.0f);
    EXPECT_EQ(scene->target.w, 1.0f);
    EXPECT_EQ(scene->third.w, 1.0f);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(scene->rotation.m[i], (i % 5 == 0) ? 1.0f : 0.0f);
    scene->eye = P(0, 0, 15);
    scene->target = VECTOR(0, 0, 0, 0);
    EXPECT_EQ(scene->GetEye().z, 15.0f);
    EXPECT_EQ(scene->GetTarget().w, 0.0f);
}

TEST(SceneTest, SetColourNormalisesAndBlackStaysBlack) {
    LightSource light;
    light.ambient = 0.5f;
    light.SetColour(255, 255, 255);
    EXPECT_NEAR(light.colour.x, 0.57735f, 1e-5f);
    EXPECT_NEAR(light.colour.z, 0.57735f, 1e-5f);
    EXPECT_EQ(light.colour.w, 0.0f);
    EXPECT_EQ(light.ambient, 0.5f);
    light.SetColour(0, 30, 40);
    EXPECT_EQ(light.r, 0);
    EXPECT_EQ(light.g, 30);
    EXPECT_EQ(light.b, 40);
    EXPECT_FLOAT_EQ(light.colour.y, 0.6f);  // stored as (r, g, b) in x, y, z
    EXPECT_FLOAT_EQ(light.colour.z, 0.8f);
    light.SetColour(0, 0, 0);  // no 0/0
    EXPECT_EQ(light.colour.x, 0.0f);
    EXPECT_EQ(light.colour.y, 0.0f);
    EXPECT_EQ(light.colour.z, 0.0f);
}

TEST(SceneTest, ListsGrowBySixteenAndKeepCopies) {
    Scene scene;
    RAYTR::WideRecord wide;
    wide.words[9] = 99;
    RAYTR::NarrowRecord narrow;
    narrow.vector = P(1, 2, 3);
    for (int i = 0; i < 16; ++i) {
        LightSource light = WhiteLight(P(float(i), 0, 0));
        scene.AddLight(light);
        scene.AddWideRecord(wide);
        scene.AddNarrowRecord(narrow);
        if (i == 14) {
            EXPECT_EQ(scene.lights.Capacity(), 16u);  // 15 items fit in 16
        }
    }
    EXPECT_EQ(scene.lights.Size(), 16u);
    EXPECT_EQ(scene.lights.Capacity(), 32u);
    for (unsigned i = 0; i < 16; ++i) EXPECT_EQ(scene.lights[i].position.x, float(i));
    EXPECT_EQ(scene.wideRecords[15].words[9], 99u);
    EXPECT_EQ(scene.narrowRecords[15].vector.y, 2.0f);
}

TEST(SceneTest, GrowingTheObjectListKeepsObjectsIntact) {
    Soup soup;
    soup.Box(P(-1, -1, -1), P(1, 1, 1));
    TObject model;
    Fill(model, soup);
    Scene scene;
    scene.AddObject(model);  // the first growth constructs 16 objects, each with a grid
    EXPECT_EQ(scene.objects.Capacity(), 16u);
    for (int i = 1; i < 16; ++i) scene.AddObject(model);
    EXPECT_EQ(scene.objects.Capacity(), 32u);
    for (unsigned i = 0; i < 16; ++i) {
        const TObject& copy = scene.objects[i];
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&copy) % 16, 0u);
        EXPECT_EQ(copy.flags, 0x0Fu);
        EXPECT_EQ(copy.grid->Triangles(), copy.triangles);  // survives the double copy of growth
        EXPECT_NE(copy.triangles, model.triangles);
    }
}

TEST(SceneTest, ReserveBelowTheCountIsRefused) {
    TIRN_ERROR::BoxRecorder boxes;
    Scene scene;
    for (int i = 0; i < 3; ++i) scene.AddLight(WhiteLight(P(0, 0, 0)));
    EXPECT_THROW(scene.lights.Reserve(2), TIRN_ERROR::Error);
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].second, "strange requirement to reserve less memory than already reserved");
    EXPECT_EQ(scene.lights.Size(), 3u);
}

// The rotation that glRotatef(x, 1, 0, 0) then glRotatef(y, 0, 1, 0) make, in the row-vector
// layout (the transpose of the column-vector matrix Rx * Ry).
MATRIX ExpectedRotation(float xDeg, float yDeg) {
    const double a = xDeg * M_PI / 180.0, b = yDeg * M_PI / 180.0;
    const double ca = std::cos(a), sa = std::sin(a), cb = std::cos(b), sb = std::sin(b);
    // Column-vector Rx * Ry.
    const double c[3][3] = {{cb, 0, sb}, {sa * sb, ca, -sa * cb}, {-ca * sb, sa, ca * cb}};
    MATRIX m = MATRIX::Identity();
    for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 3; ++k) m(r, k) = static_cast<float>(c[k][r]);
    return m;
}

TEST(SceneTest, SetViewRotationStoresWhatOpenGlComposes) {
    ASSERT_TRUE(EnsureGlContext()) << "needs a display (the test script starts Xvfb)";
    glMatrixMode(GL_MODELVIEW);
    // A matrix on the stack that SetViewRotation must leave alone.
    glLoadIdentity();
    glTranslatef(1.0f, 2.0f, 3.0f);
    Scene scene;
    const float pairs[][2] = {{0, 0}, {90, 0}, {0, 90}, {90, 90}, {180, -90}, {30, -45}, {-12.5f, 270}};
    for (const auto& angles : pairs) {
        scene.SetViewRotation(angles);
        // Reference: the same calls made here.
        float reference[16];
        glPushMatrix();
        glLoadIdentity();
        glRotatef(angles[0], 1, 0, 0);
        glRotatef(angles[1], 0, 1, 0);
        glGetFloatv(GL_MODELVIEW_MATRIX, reference);
        glPopMatrix();
        const MATRIX expected = ExpectedRotation(angles[0], angles[1]);
        for (int i = 0; i < 16; ++i) {
            EXPECT_EQ(scene.rotation.m[i], reference[i]) << angles[0] << " " << angles[1] << " element " << i;
            EXPECT_NEAR(scene.rotation.m[i], expected.m[i], 1e-6f) << angles[0] << " " << angles[1] << " element " << i;
        }
    }
    float top[16];
    glGetFloatv(GL_MODELVIEW_MATRIX, top);
    EXPECT_EQ(top[12], 1.0f);
    EXPECT_EQ(top[13], 2.0f);
    EXPECT_EQ(top[14], 3.0f);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    glLoadIdentity();
}

}  // namespace
