// Mesh classes: loading from 3DS, refusals, transforms about the box midpoint, bounds, normals,
// deep copies, and drawing and texture upload in a real GL context.
#include "mesh/mesh.h"

#include <GL/gl.h>
#include <gtest/gtest.h>

#include <cstring>

#include "errors/errors.h"
#include "loaders/bmp_writer.h"
#include "loaders/l3ds_writer.h"
#include "tests/loaders/model_files.h"
#include "tests/support/gl_context.h"

using namespace ORVA_GRAPHICS;
using ORVA_MATH::MATRIX;
using redowl_test::LastBox;
using redowl_test::TempDir;

namespace {

void ExpectMatrix(const MATRIX& a, const MATRIX& b, float tol = 0.0f) {
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(a.m[i], b.m[i], tol) << "element " << i;
}

void ExpectVector(const VECTOR& v, float x, float y, float z, float w, float tol = 0.0f) {
    EXPECT_NEAR(v.x, x, tol);
    EXPECT_NEAR(v.y, y, tol);
    EXPECT_NEAR(v.z, z, tol);
    EXPECT_NEAR(v.w, w, tol);
}

// Loads and returns the text of the box shown (empty when nothing was thrown).
std::string LoadError(Mesh& m, const std::string& file) {
    TIRN_ERROR::BoxRecorder recorder;
    try {
        m.LoadFrom3DS(file);
    } catch (const TIRN_ERROR::L3DS_Error&) {
        EXPECT_EQ(LastBox(recorder).first, "L3DS_Error: ");
        return LastBox(recorder).second;
    }
    return "";
}

MATRIX Scale(float s) {
    MATRIX m = MATRIX::Identity();
    m(0, 0) = m(1, 1) = m(2, 2) = s;
    return m;
}

}  // namespace

TEST(MeshLoad, FirstMeshOnlyWithValuesUnchanged) {
    TempDir dir;
    LOAD_3DS::WriterMesh first = redowl_test::TriangleMesh("A", 2.0f);
    first.uvs = {{0.25f, -3.0f}, {1.5f, 0.5f}, {7.0f, 8.0f}};
    ASSERT_TRUE(LOAD_3DS::Write3DS(dir.File("two.3ds"), {first, redowl_test::Cube24()}));
    Mesh m;
    ASSERT_EQ(LoadError(m, dir.File("two.3ds")), "");
    ASSERT_EQ(m.vertexCount, 3u);
    EXPECT_EQ(m.triangleCount, 1u);
    EXPECT_EQ(m.indexCount, 3u);
    ExpectVector(m.vertices[1].position, 3.0f, 0.0f, 0.0f, 1.0f);
    ExpectVector(m.vertices[1].normal, 0.0f, 0.0f, 1.0f, 1.0f);
    EXPECT_EQ(m.vertices[0].u, 0.25f);
    EXPECT_EQ(m.vertices[0].v, -3.0f);  // no flip
    EXPECT_EQ(m.indices[2], 2u);
    EXPECT_EQ(m.triangles[0].A, &m.vertices[0]);
    EXPECT_EQ(m.triangles[0].C, &m.vertices[2]);
    ASSERT_EQ(m.textures.size(), 1u);

    // A mesh without mapping coordinates reads (0, 0) everywhere.
    ASSERT_TRUE(LOAD_3DS::Write3DS(dir.File("cube.3ds"), {redowl_test::Cube24()}));
    ASSERT_EQ(LoadError(m, dir.File("cube.3ds")), "");
    ASSERT_EQ(m.vertexCount, 24u);
    for (unsigned i = 0; i < m.vertexCount; ++i) {
        EXPECT_EQ(m.vertices[i].u, 0.0f);
        EXPECT_EQ(m.vertices[i].v, 0.0f);
        EXPECT_EQ(m.vertices[i].position.w, 1.0f);
        EXPECT_EQ(m.vertices[i].normal.w, 1.0f);
    }
}

TEST(MeshLoad, RefusalsNameTheFileAndKeepTheMesh) {
    TempDir dir;
    Mesh m;
    ASSERT_TRUE(LOAD_3DS::Write3DS(dir.File("good.3ds"), {redowl_test::TriangleMesh("T")}));
    ASSERT_EQ(LoadError(m, dir.File("good.3ds")), "");
    VERTEX* before = m.vertices;

    EXPECT_EQ(LoadError(m, dir.File("missing.3ds")), "Can not load " + dir.File("missing.3ds"));
    ASSERT_TRUE(LOAD_3DS::Write3DS(dir.File("empty.3ds"), {}));
    EXPECT_EQ(LoadError(m, dir.File("empty.3ds")), "There are no meshes in " + dir.File("empty.3ds"));

    LOAD_3DS::WriterMesh out = redowl_test::TriangleMesh("T");
    out.faces.push_back({0, 1, 3});  // vertex 3 does not exist
    ASSERT_TRUE(LOAD_3DS::Write3DS(dir.File("range.3ds"), {out}));
    EXPECT_EQ(LoadError(m, dir.File("range.3ds")), "Face index out of range in " + dir.File("range.3ds"));

    LOAD_3DS::WriterMesh none;
    none.name = "Empty";
    ASSERT_TRUE(LOAD_3DS::Write3DS(dir.File("novertex.3ds"), {none}));
    EXPECT_EQ(LoadError(m, dir.File("novertex.3ds")), "There are no vertices in " + dir.File("novertex.3ds"));

    EXPECT_EQ(m.vertices, before);
    EXPECT_EQ(m.vertexCount, 3u);
}

TEST(MeshTransform, SetTransformActsAboutTheBoxMidpoint) {
    Mesh m;
    m.box.minimum = {1.0f, 2.0f, 3.0f, 1.0f};
    m.box.maximum = {3.0f, 6.0f, 5.0f, 1.0f};
    m.SetTransform(MATRIX::Identity());
    ExpectMatrix(m.box.transform, MATRIX::Identity());
    ExpectMatrix(m.box.inverse, MATRIX::Identity());
    ExpectMatrix(m.box.transposedInverse, MATRIX::Identity());

    // A pure translation is the same matrix whatever the box.
    const MATRIX t = MATRIX::Translation(0.0f, -1.65f, 0.0f);
    m.SetTransform(t);
    ExpectMatrix(m.box.transform, t, 1e-6f);

    // Scaling by 2 about the midpoint (2, 4, 4): the midpoint stays, the minimum moves away.
    m.SetTransform(Scale(2.0f));
    ExpectVector(ORVA_MATH::Transform({2, 4, 4, 1}, m.box.transform), 2, 4, 4, 1, 1e-6f);
    ExpectVector(ORVA_MATH::Transform({1, 2, 3, 1}, m.box.transform), 0, 0, 2, 1, 1e-6f);
    const MATRIX expected = {{2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, -2, -4, -4, 1}};
    ExpectMatrix(m.box.transform, expected, 1e-6f);
    ExpectMatrix(m.box.transposed, expected.Transposed(), 1e-6f);
    ExpectMatrix(m.box.transform * m.box.inverse, MATRIX::Identity(), 1e-6f);
    ExpectMatrix(m.box.transposedInverse, m.box.inverse.Transposed());
}

TEST(MeshBounds, SingleVertexAndDegenerateBoxes) {
    Mesh m;
    m.Allocate(1, 0, 0);
    m.vertices[0].position = {1.0f, -2.0f, 3.0f, 1.0f};
    m.ComputeBoundingBox();
    ExpectVector(m.box.minimum, 1, -2, 3, 1);
    ExpectVector(m.box.maximum, 1, -2, 3, 1);
    // The box is computed again (its size is 0), then the sphere.
    m.vertices[0].position = {4.0f, 5.0f, 6.0f, 1.0f};
    m.ComputeBoundingSphere();
    ExpectVector(m.box.minimum, 4, 5, 6, 1);
    ExpectVector(m.sphereCentre, 4, 5, 6, 1);
    EXPECT_EQ(m.sphereRadius, 0.0f);

    // Lane by lane over several vertices; the sphere's radius is half the diagonal.
    m.Allocate(3, 0, 0);
    m.vertices[0].position = {0, 0, 0, 1};
    m.vertices[1].position = {2, -2, 1, 1};
    m.vertices[2].position = {-2, 2, -1, 1};
    m.ComputeBoundingBox();
    ExpectVector(m.box.minimum, -2, -2, -1, 1);
    ExpectVector(m.box.maximum, 2, 2, 1, 1);
    m.ComputeBoundingSphere();
    EXPECT_FLOAT_EQ(m.sphereRadius, 3.0f);
    EXPECT_FLOAT_EQ(m.sphereRadiusSquared, 9.0f);

    // The matrices are re-derived with vertex 0 as the pivot.
    m.vertices[0].position = {1, 1, 1, 1};
    m.box.transform = Scale(2.0f);
    m.ComputeBoundingBox();
    ExpectVector(ORVA_MATH::Transform({1, 1, 1, 1}, m.box.transform), 1, 1, 1, 1, 1e-6f);

    // Without vertices the box is the origin, and nothing is read.
    m.Allocate(0, 0, 0);
    m.ComputeBoundingBox();
    ExpectVector(m.box.minimum, 0, 0, 0, 1);
}

TEST(MeshNormals, FlatNormalsAndVertexTransforms) {
    Mesh m;
    m.Allocate(6, 6, 2);
    const VECTOR p[6] = {{0, 0, 0, 1}, {1, 0, 0, 1}, {0, 1, 0, 1}, {1, 1, 1, 1}, {1, 1, 1, 1}, {2, 2, 2, 1}};
    for (int i = 0; i < 6; ++i) {
        m.vertices[i].position = p[i];
        m.triangles[i / 3].A = &m.vertices[i / 3 * 3];
        m.triangles[i / 3].B = &m.vertices[i / 3 * 3 + 1];
        m.triangles[i / 3].C = &m.vertices[i / 3 * 3 + 2];
    }
    m.ComputeFlatNormals();
    for (int i = 0; i < 3; ++i) ExpectVector(m.vertices[i].normal, 0, 0, 1, 0);
    // A face without area gets the zero vector, not a division by zero.
    ExpectVector(m.vertices[3].normal, 0, 0, 0, 0);

    // Normals have w = 1 after construction, so the translation row reaches them.
    m.vertices[0].normal = {0, 1, 0, 1};
    m.vertices[0].u = 0.5f;
    m.TransformVertices(MATRIX::Translation(1, 2, 3));
    ExpectVector(m.vertices[0].position, 1, 2, 3, 1);
    ExpectVector(m.vertices[0].normal, 1, 3, 3, 1);

    m.MakeTransformedVertices(MATRIX::Translation(0, 0, 1));
    ASSERT_NE(m.transformedVertices, nullptr);
    ExpectVector(m.transformedVertices[0].position, 1, 2, 4, 1);
    EXPECT_EQ(m.transformedVertices[0].u, 0.5f);
    ExpectVector(m.vertices[0].position, 1, 2, 3, 1);  // the source stays
    // Mapping coordinates are copied when the array is made, not again.
    m.vertices[0].u = 0.75f;
    m.box.transform = MATRIX::Identity();
    m.ApplyOwnTransform();
    EXPECT_EQ(m.transformedVertices[0].u, 0.5f);
    ExpectVector(m.transformedVertices[0].position, 1, 2, 3, 1);
    // A larger vertex array after Allocate gets a transformed array of its own size.
    m.Allocate(100, 0, 0);
    m.MakeTransformedVertices(MATRIX::Identity());
    ExpectVector(m.transformedVertices[99].position, m.vertices[99].position.x, m.vertices[99].position.y,
                 m.vertices[99].position.z, 1);
}

TEST(MeshCopy, DeepCopiesRepointTrianglesIntoTheirOwnVertices) {
    TempDir dir;
    ASSERT_TRUE(LOAD_3DS::Write3DS(dir.File("cube.3ds"), {redowl_test::Cube24()}));
    unsigned char rgb[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    ASSERT_TRUE(LOAD_3DS::WriteBMP24(dir.File("t.bmp"), 2, 2, rgb));
    Mesh a;
    a.LoadFrom3DS(dir.File("cube.3ds"));
    a.textures[0].LoadBMP(dir.File("t.bmp").c_str());
    a.ComputeBoundingBox();
    a.ComputeBoundingSphere();
    a.MakeTransformedVertices(MATRIX::Identity());

    Mesh b(a);
    Mesh c;
    c = b;
    for (Mesh* copy : {&b, &c}) {
        ASSERT_NE(copy->vertices, a.vertices);
        ASSERT_EQ(copy->vertexCount, a.vertexCount);
        ASSERT_EQ(copy->triangleCount, a.triangleCount);
        EXPECT_NE(copy->transformedVertices, a.transformedVertices);
        EXPECT_EQ(0, std::memcmp(copy->indices, a.indices, a.indexCount * sizeof(unsigned)));
        for (unsigned t = 0; t < copy->triangleCount; ++t) {
            EXPECT_EQ(copy->triangles[t].A, copy->vertices + copy->indices[3 * t]);
            EXPECT_EQ(copy->triangles[t].B, copy->vertices + copy->indices[3 * t + 1]);
            EXPECT_EQ(copy->triangles[t].C, copy->vertices + copy->indices[3 * t + 2]);
        }
        EXPECT_EQ(copy->sphereRadius, a.sphereRadius);
        ExpectMatrix(copy->box.transform, a.box.transform);
        ASSERT_EQ(copy->textures.size(), 1u);
        EXPECT_NE(copy->textures[0].pixels, a.textures[0].pixels);
        EXPECT_EQ(copy->textures[0].textureName, a.textures[0].textureName);
    }
    // Changing the original leaves the copies alone.
    a.TransformVertices(MATRIX::Translation(5, 0, 0));
    EXPECT_EQ(b.vertices[0].position.x + 5.0f, a.vertices[0].position.x);
    // Self-assignment is a no-op.
    VERTEX* own = c.vertices;
    Mesh& alias = c;
    c = alias;
    EXPECT_EQ(c.vertices, own);
    EXPECT_EQ(c.triangles[0].A, c.vertices + c.indices[0]);
}

TEST(MeshTexture, AssignTextureOutOfRange) {
    Mesh m;
    TIRN_ERROR::BoxRecorder recorder;
    EXPECT_THROW(m.AssignTexture("data/texture1.bmp", 1), TIRN_ERROR::Error);
    EXPECT_EQ(LastBox(recorder), std::make_pair(std::string("Error: "), std::string("Out of Range in MESH::AssignTexture")));
    m.textures.clear();
    EXPECT_THROW(m.AssignTexture("data/texture1.bmp", 0), TIRN_ERROR::Error);
}

TEST(MeshGl, DrawUsesTheTransformAsStoredAndDrawLinesItsTranspose) {
    ASSERT_TRUE(redowl_test::EnsureGlContext());
    // A small square around the origin in normalised device coordinates.
    Mesh m;
    m.Allocate(4, 6, 2);
    const float corners[4][2] = {{-0.1f, -0.1f}, {0.1f, -0.1f}, {0.1f, 0.1f}, {-0.1f, 0.1f}};
    for (int i = 0; i < 4; ++i) {
        m.vertices[i].position = {corners[i][0], corners[i][1], 0.0f, 1.0f};
        m.vertices[i].normal = {0, 0, 1, 0};
        m.vertices[i].u = m.vertices[i].v = 0.0f;
    }
    const unsigned idx[6] = {0, 1, 2, 0, 2, 3};
    std::memcpy(m.indices, idx, sizeof idx);
    int viewport[4];
    glGetIntegerv(GL_VIEWPORT, viewport);
    const int w = viewport[2], h = viewport[3];
    auto pixelAt = [&](float x, float y) {
        unsigned char rgba[4];
        glReadBuffer(GL_BACK);
        glReadPixels(int((x + 1) / 2 * w), int((y + 1) / 2 * h), 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, rgba);
        return int(rgba[0]);
    };
    auto prepare = [] {
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        glDisable(GL_LIGHTING);
        glDisable(GL_TEXTURE_2D);
        glDisable(GL_DEPTH_TEST);
        glDisable(GL_CULL_FACE);
        glClearColor(0, 0, 0, 1);
        glClear(GL_COLOR_BUFFER_BIT);
        glColor3f(1, 1, 1);
    };
    prepare();
    m.SetTransform(MATRIX::Translation(0.5f, 0.0f, 0.0f));
    m.Draw();
    EXPECT_GT(pixelAt(0.5f, 0.0f), 200);
    EXPECT_EQ(pixelAt(0.0f, 0.0f), 0);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));

    // Lines: consecutive index pairs, drawn with the transposed transform; a transform whose
    // transpose is the translation by (0, 0.5) moves them up.
    prepare();
    m.box.transform = MATRIX::Translation(0.0f, 0.5f, 0.0f).Transposed();
    const unsigned lines[6] = {0, 1, 1, 2, 2, 3};
    std::memcpy(m.indices, lines, sizeof lines);
    m.DrawLines();
    EXPECT_GT(pixelAt(0.0f, 0.5f - 0.1f), 200);  // the bottom edge, moved up
    EXPECT_EQ(pixelAt(0.0f, -0.1f), 0);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    // The client states are left disabled.
    EXPECT_FALSE(glIsEnabled(GL_VERTEX_ARRAY));
    EXPECT_FALSE(glIsEnabled(GL_NORMAL_ARRAY));
    EXPECT_FALSE(glIsEnabled(GL_TEXTURE_COORD_ARRAY));
}

TEST(MeshGl, UploadCreatesTheTextureOnceAndLaterUploadsReplaceItsImage) {
    ASSERT_TRUE(redowl_test::EnsureGlContext());
    TempDir dir;
    unsigned char a[12] = {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30};
    unsigned char b[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 40, 50, 60};
    ASSERT_TRUE(LOAD_3DS::WriteBMP24(dir.File("a.bmp"), 2, 2, a));
    ASSERT_TRUE(LOAD_3DS::WriteBMP24(dir.File("b.bmp"), 2, 2, b));
    Mesh m;
    TEXTURE unloaded;
    const GLuint provisional = unloaded.textureName;
    unloaded.Upload();  // nothing loaded: nothing sent, the name stays
    EXPECT_EQ(unloaded.textureName, provisional);
    EXPECT_TRUE(unloaded.firstUpload);

    m.AssignTexture(dir.File("a.bmp"), 0);
    TEXTURE& t = m.textures[0];
    EXPECT_FALSE(t.firstUpload);
    const GLuint name = t.textureName;
    EXPECT_TRUE(glIsTexture(name));
    auto image = [&] {
        unsigned char out[12];
        glBindTexture(GL_TEXTURE_2D, name);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glGetTexImage(GL_TEXTURE_2D, 0, GL_RGB, GL_UNSIGNED_BYTE, out);
        return std::vector<unsigned char>(out, out + 12);
    };
    EXPECT_EQ(image(), std::vector<unsigned char>(a, a + 12));
    GLint wrap = 0, minFilter = 0, envMode = 0;
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, &wrap);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &minFilter);
    glGetTexEnviv(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, &envMode);
    EXPECT_EQ(wrap, GL_REPEAT);
    EXPECT_EQ(minFilter, GL_LINEAR);
    EXPECT_EQ(envMode, GL_MODULATE);

    m.AssignTexture(dir.File("b.bmp"), 0);
    EXPECT_EQ(t.textureName, name);
    EXPECT_EQ(image(), std::vector<unsigned char>(b, b + 12));
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}
