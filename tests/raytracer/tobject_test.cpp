#include "raytracer/tobject.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "raytracer/scene.h"
#include "raytracer/shading.h"
#include "tests/raytracer/scene_fixtures.h"

namespace {

using namespace redowl_test;
using RAYTR::Ray;
using RAYTR::RayHit;
using RAYTR::Scene;
using RAYTR::TObject;

Soup UnitBox() {
    Soup s;
    s.Box(P(-1, -1, -1), P(1, 1, 1));
    return s;
}

TEST(TObjectTest, NewObjectHasNoFlagsAndAnEmptyGrid) {
    TObject object;
    EXPECT_EQ(object.flags, 0u);
    ASSERT_NE(object.grid, nullptr);
    EXPECT_EQ(object.grid->Triangles(), nullptr);
    EXPECT_EQ(object.gridSettings.algorithm, RAYTR::kFastAlgorithm);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&object) % 16, 0u);
}

TEST(TObjectTest, SetTransformMovesTheSphereCentreUntilPrepareResetsIt) {
    TObject object;
    Fill(object, UnitBox());
    const float radius2 = object.sphereRadiusSquared;
    MATRIX M = Translation(0.0f, -1.65f, 0.0f);
    M(3, 3) = 1.0f;
    object.SetTransform(M);
    EXPECT_EQ(object.sphereCentre.x, 0.0f);
    EXPECT_EQ(object.sphereCentre.y, -1.65f);
    EXPECT_EQ(object.sphereCentre.z, 0.0f);
    EXPECT_EQ(object.sphereCentre.w, 1.0f);
    EXPECT_EQ(object.sphereRadiusSquared, radius2);
    EXPECT_EQ(object.box.transform(3, 1), -1.65f);
    object.PrepareForTracing();
    EXPECT_EQ(object.sphereCentre.y, 0.0f);  // box midpoint again
    EXPECT_FLOAT_EQ(object.sphereRadiusSquared, 3.0f);
}

TEST(TObjectTest, PrepareCreatesAMissingGridAndSetGridAlgorithmOnlyStoresTheSetting) {
    TObject object;
    delete object.grid;
    object.grid = nullptr;
    Fill(object, UnitBox());
    ASSERT_NE(object.grid, nullptr);
    EXPECT_EQ(object.grid->Triangles(), object.triangles);
    const float cell = object.grid->CellSize();
    object.SetGridAlgorithm(RAYTR::kAccuracyAlgorithm);
    EXPECT_EQ(object.gridSettings.algorithm, RAYTR::kAccuracyAlgorithm);
    EXPECT_EQ(object.grid->CellSize(), cell);
    object.SetGridAlgorithm(12345);  // stored without validation
    EXPECT_EQ(object.gridSettings.algorithm, 12345);
}

// A ray straight down onto the top of the unit box.
bool HitsTop(const TObject& object, RayHit& hit) {
    Scene scene;
    scene.AddObject(object);
    return RAYTR::ClosestHit(Ray(P(0.2f, 5.0f, 0.3f), D(0, -1, 0)), scene, hit);
}

TEST(TObjectTest, CopiesAreDeepAndOutliveTheirSource) {
    auto source = std::make_unique<TObject>();
    Fill(*source, UnitBox());
    source->flags = 0x0F;

    TObject assigned;
    assigned = *source;
    TObject constructed(*source);
    for (const TObject* copy : {&assigned, &constructed}) {
        EXPECT_EQ(copy->flags, 0x0Fu);
        ASSERT_NE(copy->grid, nullptr);
        EXPECT_NE(copy->grid, source->grid);
        EXPECT_NE(copy->triangles, source->triangles);
        // The copy's grid answers with the copy's own triangles.
        EXPECT_EQ(copy->grid->Triangles(), copy->triangles);
    }
    source.reset();  // the copies must not depend on it any more

    for (const TObject* copy : {&assigned, &constructed}) {
        RayHit hit;
        ASSERT_TRUE(HitsTop(*copy, hit));
        EXPECT_FLOAT_EQ(hit.point.y, 1.0f);
        EXPECT_FLOAT_EQ(hit.point.x, 0.2f);
        // The skip works on the copy: leaving the top face upward meets nothing.
        Scene scene;
        scene.AddObject(*copy);
        RayHit leave;
        ASSERT_TRUE(RAYTR::ClosestHit(Ray(P(0.2f, 5.0f, 0.3f), D(0, -1, 0)), scene, leave));
        EXPECT_FALSE(RAYTR::ClosestHit(Ray(HitPointInWorld(leave), D(0, 1, 0)), scene, leave));
    }
}

TEST(TObjectTest, SelfAssignmentChangesNothing) {
    TObject object;
    Fill(object, UnitBox());
    const auto* grid = object.grid;
    const auto* triangles = object.triangles;
    const float cell = grid->CellSize();
    TObject& same = object;
    object = same;
    EXPECT_EQ(object.grid, grid);
    EXPECT_EQ(object.triangles, triangles);
    EXPECT_EQ(object.grid->CellSize(), cell);
    RayHit hit;
    EXPECT_TRUE(HitsTop(object, hit));
}

TEST(TObjectTest, AssigningAnUnbuiltObjectLeavesAnEmptyUsableGrid) {
    TObject built;
    Fill(built, UnitBox());
    TObject empty;
    built = empty;
    ASSERT_NE(built.grid, nullptr);
    RayHit hit;
    built.flags = 0x0F;  // flagged but never prepared: never hit, no crash
    EXPECT_FALSE(HitsTop(built, hit));
}

}  // namespace
