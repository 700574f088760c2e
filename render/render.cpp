#define GL_GLEXT_PROTOTYPES  // glWindowPos2i (OpenGL 1.4)
#include "render/render.h"

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include "loaders/texture.h"
#include "math/highlight_width.h"
#include "mesh/winding.h"
#include "raytracer/surface_bsdf.h"
#include "raytracer/tobject.h"

namespace ORVA_GRAPHICS {

using Render = RENDER<OpenGL_HAL, RAYTR::Scene>;

Render::RENDER(int width, int height)
    : width_(width),
      height_(height),
      depth_(new std::uint32_t[static_cast<std::size_t>(width > 0 ? width : 0) * static_cast<std::size_t>(height > 0 ? height : 0)]()) {
    // Fixed-function state of the preview.
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_LIGHTING);
    glEnable(GL_COLOR_MATERIAL);
    glEnable(GL_TEXTURE_2D);
    glClearDepth(1.0);
    glDepthFunc(GL_LEQUAL);
    glFrontFace(GL_CCW);
    // Light 0: dim ambient, white diffuse and specular. The highlight is added after the
    // texture, as the tracer adds it, not tinted by it.
    glLightfv(GL_LIGHT0, GL_AMBIENT, lightAmbient_);
    glLightModeli(GL_LIGHT_MODEL_COLOR_CONTROL, GL_SEPARATE_SPECULAR_COLOR);
    glLightfv(GL_LIGHT0, GL_DIFFUSE, lightDiffuse_);
    glLightfv(GL_LIGHT0, GL_SPECULAR, lightSpecular_);
    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);
    // Only quadric 0 (the light marker) is ever drawn; the other slots stay empty.
    quadrics_[0] = gluNewQuadric();
}

Render::~RENDER() {
    for (GLUquadric*& q : quadrics_) {
        if (q != nullptr) gluDeleteQuadric(q);
        q = nullptr;
    }
}

namespace {

// Whether the mesh's triangles close an outward-facing surface (mesh/winding.h), and its box.
bool IsClosedOutward(const RAYTR::TObject& object, ORVA_MATH::VECTOR& low, ORVA_MATH::VECTOR& high) {
    if (object.vertexCount == 0 || object.indexCount < 12 || object.indices == nullptr) return false;
    const ORVA_GRAPHICS::VERTEX* const v = object.vertices;
    low = high = v[0].position;
    for (unsigned i = 0; i < object.vertexCount; ++i) {
        const ORVA_MATH::VECTOR& p = v[i].position;
        low = ORVA_MATH::VECTOR(std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z), 1.0f);
        high = ORVA_MATH::VECTOR(std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z), 1.0f);
    }
    // The load's answer where it found one (the same arrays: a model of millions of faces
    // would take as long again).
    if (object.closure) return *object.closure == ORVA_GRAPHICS::Closure::Outward;
    static_assert(sizeof(ORVA_GRAPHICS::VERTEX) % sizeof(float) == 0);
    return ORVA_GRAPHICS::SurfaceClosure(&v[0].position.x, sizeof(ORVA_GRAPHICS::VERTEX) / sizeof(float), object.vertexCount,
                                         object.indices, object.indexCount / 3) == ORVA_GRAPHICS::Closure::Outward;
}

// The fixed-function material of a described material (mesh/material.h), as near the tracer's
// as OpenGL 1.x lighting comes: the colour (through the colour material: ambient and diffuse)
// keeps what is not metal and not mirror, and what they reflect is the sky's mean colour
// (emitted, as a reflection is not lit); the highlight is the coat's colour (the base colour
// for a metal) at the strength of the GGX peak, F0 / (4 alpha^2) for a view along the normal, up
// to 1, and the Blinn-Phong exponent of the same width, 2 / alpha^2 - 2 (up to OpenGL's 128).
struct PreviewMaterial {
    float colourShare = 1.0f;
    float specular[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    float shininess = 0.0f;
    float emission[4] = {0.0f, 0.0f, 0.0f, 1.0f};
};

PreviewMaterial PreviewOf(const ORVA_GRAPHICS::Material& m, const RAYTR::SceneLighting& lighting) {
    PreviewMaterial p;
    if (!m.described) return p;
    const RAYTR::SurfaceParameters s = RAYTR::MaterialParameters(m);
    p.colourShare = s.DiffuseWeight();
    // OpenGL's exponent goes up to 128: roughness 0.05 and below look alike.
    const float roughness = std::max(s.roughness, 0.05f);
    const float peak = ORVA_MATH::GgxPeakOverF0(roughness);
    for (int k = 0; k < 3; ++k) {
        p.specular[k] = std::min(1.0f, s.CoatF0(k) * s.CoatWeight() * peak);
        // What a metal or a mirror reflects, as the sky's mean colour (red, blue, green lanes).
        const float sky = k == 0 ? lighting.environment.x : (k == 1 ? lighting.environment.z : lighting.environment.y);
        const float reflectance = s.mirror + s.CoatWeight() * s.metallic * s.base[k];
        p.emission[k] = std::min(1.0f, s.emission[k] + reflectance * sky);
    }
    p.shininess = std::clamp(ORVA_MATH::PhongExponentOfRoughness(roughness), 0.0f, 128.0f);
    return p;
}

// One draw call per material: its texture with its tint, or its colour untextured (the colour
// material makes the current colour the lit colour), with its highlight and emission; a
// material with an opacity texture through its cut-out texture (cutOuts, per material, 0 for
// none) and the alpha test. Leaves
// texturing on, the colour white and the material without highlight or emission, as the other
// objects are drawn.
// A material of one opacity below 1 (no texture for it): drawn blended after everything else.
bool Translucent(const ORVA_GRAPHICS::Material& m) {
    return m.described && m.opacity < 1.0f && m.maps[ORVA_GRAPHICS::kOpacityMap] < 0;
}

void DrawMaterialBatches(RAYTR::TObject& object, unsigned index, const std::vector<GLuint>* cutOuts,
                         const RAYTR::SceneLighting& lighting, bool translucent, ShadedPreview* shaded) {
    static const float kNone[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    for (const ORVA_GRAPHICS::MaterialBatch& batch : object.batches) {
        if (batch.material >= object.materials.size()) continue;
        const ORVA_GRAPHICS::Material& m = object.materials[batch.material];
        // Opaque surfaces first, then the translucent ones over them, blended by their opacity
        // (as the settled traced picture shows them), without writing depth: the shadow mask
        // falls on what lies behind them. A surface with an opacity texture is drawn where the
        // texture's opacity reaches the cut-off.
        if (Translucent(m) != translucent) continue;
        if (shaded != nullptr && m.described && shaded->Use(object, index, m, translucent)) {
            object.DrawBatch(batch);
            continue;
        }
        if (shaded != nullptr) shaded->End();
        const GLuint cutOut = cutOuts != nullptr && batch.material < cutOuts->size() ? (*cutOuts)[batch.material] : 0;
        const PreviewMaterial p = PreviewOf(m, lighting);
        const float* colour = m.image != nullptr ? m.tint : m.diffuse;
        if (cutOut != 0) {
            glEnable(GL_TEXTURE_2D);
            glBindTexture(GL_TEXTURE_2D, cutOut);
            glEnable(GL_ALPHA_TEST);
            glAlphaFunc(GL_GEQUAL, m.alphaCutoff / std::max(m.opacity, 1e-6f));
            if (m.image == nullptr) colour = m.diffuse;
        } else if (m.image != nullptr) {
            glEnable(GL_TEXTURE_2D);
            glBindTexture(GL_TEXTURE_2D, m.image->textureName);
        } else {
            glDisable(GL_TEXTURE_2D);
        }
        glColor4f(colour[0] * p.colourShare, colour[1] * p.colourShare, colour[2] * p.colourShare,
                  translucent ? std::max(m.opacity, 0.0f) : 1.0f);
        glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, p.specular);
        glMaterialf(GL_FRONT_AND_BACK, GL_SHININESS, p.shininess);
        glMaterialfv(GL_FRONT_AND_BACK, GL_EMISSION, p.emission);
        object.DrawBatch(batch);
        if (cutOut != 0) glDisable(GL_ALPHA_TEST);
    }
    if (shaded != nullptr) shaded->End();
    glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, kNone);
    glMaterialf(GL_FRONT_AND_BACK, GL_SHININESS, 0.0f);
    glMaterialfv(GL_FRONT_AND_BACK, GL_EMISSION, kNone);
    glEnable(GL_TEXTURE_2D);
    glColor3f(1.0f, 1.0f, 1.0f);
}

}  // namespace

namespace {

// The determinant of the 3 x 3 part of the object's transform followed by the view rotation.
float Determinant(const ORVA_MATH::MATRIX& transform, const ORVA_MATH::MATRIX& rotation) {
    const ORVA_MATH::MATRIX m = transform * rotation;
    return m(0, 0) * (m(1, 1) * m(2, 2) - m(1, 2) * m(2, 1)) - m(0, 1) * (m(1, 0) * m(2, 2) - m(1, 2) * m(2, 0)) +
           m(0, 2) * (m(1, 0) * m(2, 1) - m(1, 1) * m(2, 0));
}

bool Mirrors(const ORVA_MATH::MATRIX& transform, const ORVA_MATH::MATRIX& rotation) {
    return Determinant(transform, rotation) < 0.0f;
}

}  // namespace

bool Render::BackFacesHidden(unsigned i, const ORVA_MATH::MATRIX& rotation) const {
    // Faces made two-sided carry a turned copy in the same place (mesh/winding.h): culling the
    // back faces is what shows the copy that faces the eye, as rays see it, not both fighting.
    bool copies = false;
    for (const ORVA_GRAPHICS::Material& material : scene_->objects[i].materials) copies = copies || material.twoSided;
    if (!copies && (!cullHiddenBackFaces || !ClosedOutward(i))) return false;
    // Object to eye-space input: the object's transform, then the view rotation (row vectors).
    const ORVA_MATH::MATRIX m = scene_->objects[i].box.transform * rotation;
    // A mirroring transform turns the faces' winding on screen: keep every face then.
    if (!(Determinant(scene_->objects[i].box.transform, rotation) > 0.0f)) return false;
    if (copies) return true;
    // The box's corners carried the same way; their box must stay clear of the eye by more than
    // the near plane's farthest corner (45 degrees vertically, the drawing area's aspect).
    const ORVA_MATH::VECTOR& lo = objectBoxes_[2 * i];
    const ORVA_MATH::VECTOR& hi = objectBoxes_[2 * i + 1];
    float low[3] = {INFINITY, INFINITY, INFINITY}, high[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (int k = 0; k < 8; ++k) {
        const ORVA_MATH::VECTOR c((k & 1) ? hi.x : lo.x, (k & 2) ? hi.y : lo.y, (k & 4) ? hi.z : lo.z, 1.0f);
        const ORVA_MATH::VECTOR w = ORVA_MATH::Transform(c, m);
        const float xyz[3] = {w.x, w.y, w.z};
        for (int a = 0; a < 3; ++a) {
            low[a] = std::min(low[a], xyz[a]);
            high[a] = std::max(high[a], xyz[a]);
        }
    }
    const double aspect = height_ != 0 ? double(width_) / double(height_) : 1.0;
    const double t = std::tan(22.5 * 3.14159265358979323846 / 180.0);
    const double reach = double(near_) * std::sqrt(1.0 + t * t * (1.0 + aspect * aspect)) * 1.01;
    const float eye[3] = {eye_.x, eye_.y, eye_.z};
    double gap2 = 0.0;
    for (int a = 0; a < 3; ++a) {
        const double d = eye[a] < low[a] ? low[a] - eye[a] : (eye[a] > high[a] ? eye[a] - high[a] : 0.0);
        gap2 += d * d;
    }
    return std::isfinite(gap2) && gap2 > reach * reach;
}

void Render::AttachScene(RAYTR::Scene* scene) {
    scene_ = scene;
    closedOutward_.clear();
    objectBoxes_.clear();
    ownMaterials_.clear();
    if (scene_ != nullptr) {
        near_ = scene_->nearDistance;
        far_ = scene_->farDistance;
        // Once, here: the frame only looks the answers up.
        const unsigned n = scene_->objects.Size();
        closedOutward_.assign(n, 0);
        objectBoxes_.assign(2 * static_cast<std::size_t>(n), ORVA_MATH::VECTOR(0.0f, 0.0f, 0.0f, 1.0f));
        for (unsigned i = 0; i < n; ++i)
            closedOutward_[i] = IsClosedOutward(scene_->objects[i], objectBoxes_[2 * i], objectBoxes_[2 * i + 1]) ? 1 : 0;
        MakeCutOutTextures();
        ownMaterials_.assign(n, 0);
        twoSided_.assign(n, 0);
        bool any = false;
        for (unsigned i = 0; i < n; ++i)
            for (const ORVA_GRAPHICS::Material& m : scene_->objects[i].materials) {
                if (m.described) ownMaterials_[i] = 1, any = true;
                if (m.described && m.twoSided) twoSided_[i] = 1;
            }
        if (any) shaded_.Prepare(*scene_);
    }
    SetProjection();
}

void Render::MakeCutOutTextures() {
    if (!cutOutNames_.empty()) glDeleteTextures(GLsizei(cutOutNames_.size()), cutOutNames_.data());
    cutOutNames_.clear();
    cutOutTextures_.assign(scene_->objects.Size(), {});
    for (unsigned i = 0; i < scene_->objects.Size(); ++i) {
        const RAYTR::TObject& object = scene_->objects[i];
        std::vector<GLuint>& names = cutOutTextures_[i];
        names.assign(object.materials.size(), 0);
        for (std::size_t k = 0; k < object.materials.size(); ++k) {
            const ORVA_GRAPHICS::Material& m = object.materials[k];
            const TEXTURE* opacity = m.mapImages[ORVA_GRAPHICS::kOpacityMap];
            if (!m.described || opacity == nullptr || opacity->pixels == nullptr) continue;
            // Colour from the base texture (white without one: the colour comes from glColor),
            // alpha from the opacity texture's red channel, on the colour's texels (the opacity's
            // nearest texel where the two differ in size).
            const TEXTURE* base = m.image != nullptr && m.image->pixels != nullptr ? m.image : nullptr;
            const int w = base ? base->width : opacity->width, h = base ? base->height : opacity->height;
            std::vector<unsigned char> rgba(std::size_t(w) * std::size_t(h) * 4, 255);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    unsigned char* out = &rgba[(std::size_t(y) * w + x) * 4];
                    if (base) std::memcpy(out, base->pixels + (std::size_t(y) * w + x) * 3, 3);
                    const int ox = int(std::int64_t(x) * opacity->width / w), oy = int(std::int64_t(y) * opacity->height / h);
                    out[3] = opacity->pixels[(std::size_t(oy) * opacity->width + ox) * 3];
                }
            GLuint name = 0;
            glGenTextures(1, &name);
            glBindTexture(GL_TEXTURE_2D, name);
            glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
            gluBuild2DMipmaps(GL_TEXTURE_2D, GL_RGBA, w, h, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
            names[k] = name;
            cutOutNames_.push_back(name);
        }
    }
}

void Render::SetProjection() const {
    // 45 degrees vertically, the aspect ratio in double precision.
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(45.0, height_ != 0 ? static_cast<double>(width_) / static_cast<double>(height_) : 1.0, near_, far_);
    glMatrixMode(GL_MODELVIEW);
}

void Render::DrawPreview() {
    glClearColor(0.0f, 0.0f, 0.25f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    if (scene_ == nullptr) return;

    // Light 0 and the camera from the scene (a scene without lights keeps the last position).
    // The light is where the tracer's is: a point (w = 1) with the tracer's attenuation, or a
    // direction toward it (w = 0); the ambient light of the scene is the sky light's mean
    // where there is one.
    if (scene_->lights.Size() > 0) {
        const RAYTR::LightSource& light = scene_->lights[0];
        lightPosition_[0] = light.position.x;
        lightPosition_[1] = light.position.y;
        lightPosition_[2] = light.position.z;
        lightPosition_[3] = light.position.w != 0.0f ? 1.0f : 0.0f;
        glLightf(GL_LIGHT0, GL_CONSTANT_ATTENUATION, light.a0);
        glLightf(GL_LIGHT0, GL_LINEAR_ATTENUATION, light.a1);
        glLightf(GL_LIGHT0, GL_QUADRATIC_ATTENUATION, light.a2);
    }
    // The sky light as the tracer's moving frame shows it (RAYTR::SkyIrradiance): half of what
    // an upward surface receives as ambient light, the other half from a light straight above.
    const RAYTR::SceneLighting& lighting = scene_->lighting;
    const bool sky = lighting.skyLight > 0.0f;
    const float half[4] = {0.5f * lighting.skyUp.x, 0.5f * lighting.skyUp.z, 0.5f * lighting.skyUp.y, 1.0f};
    const float sceneAmbient[4] = {sky ? half[0] : RAYTR::kSceneAmbient, sky ? half[1] : RAYTR::kSceneAmbient,
                                   sky ? half[2] : RAYTR::kSceneAmbient, 1.0f};
    glLightModelfv(GL_LIGHT_MODEL_AMBIENT, sceneAmbient);
    eye_ = scene_->GetEye();
    lookAt_ = scene_->GetTarget();
    // The clipping planes follow the view (they change when it comes close or goes far).
    if (scene_->nearDistance != near_ || scene_->farDistance != far_) {
        near_ = scene_->nearDistance;
        far_ = scene_->farDistance;
        SetProjection();
    }
    const ORVA_MATH::MATRIX rotation = scene_->rotation;

    // Camera, then the view rotation, under which the light is placed.
    glPushMatrix();
    gluLookAt(eye_.x, eye_.y, eye_.z, lookAt_.x, lookAt_.y, lookAt_.z, 0.0, 1.0, 0.0);
    glPushMatrix();
    glMultMatrixf(rotation.m);
    glLightfv(GL_LIGHT0, GL_POSITION, lightPosition_);
    if (sky) {
        static const float kAbove[4] = {0.0f, 1.0f, 0.0f, 0.0f}, kDark[4] = {0.0f, 0.0f, 0.0f, 1.0f};
        glLightfv(GL_LIGHT1, GL_POSITION, kAbove);
        glLightfv(GL_LIGHT1, GL_DIFFUSE, half);
        glLightfv(GL_LIGHT1, GL_AMBIENT, kDark);
        glLightfv(GL_LIGHT1, GL_SPECULAR, kDark);
        glEnable(GL_LIGHT1);
    } else {
        glDisable(GL_LIGHT1);
    }

    // The objects in the order added, each with its texture 0; back faces that cannot be seen
    // are not rasterised, nor those of closed or two-sided models in their own materials, which
    // the tracer does not see either (an open one-sided model keeps its back faces: a scene
    // writer's open surface is meant to be seen from both sides).
    ShadedPreview* const shaded = shadeMaterials && shaded_.Ready() ? &shaded_ : nullptr;
    if (shaded != nullptr) shaded->Begin(*scene_, height_);
    culledLastPreview_ = 0;
    for (unsigned i = 0; i < scene_->objects.Size(); ++i) {
        RAYTR::TObject& object = scene_->objects[i];
        if (!object.textures.empty()) glBindTexture(GL_TEXTURE_2D, object.textures[0].textureName);
        // Models in their own materials that close a surface, or whose faces have turned copies.
        const bool own = i < ownMaterials_.size() && ownMaterials_[i] != 0 && (ClosedOutward(i) || twoSided_[i] != 0);
        const bool cull = own || BackFacesHidden(i, rotation);
        if (cull) {
            glCullFace(GL_BACK);
            // A mirroring transform turns the winding on screen; the tracer's front stays the
            // file's.
            glFrontFace(Mirrors(object.box.transform, rotation) ? GL_CW : GL_CCW);
            glEnable(GL_CULL_FACE);
            ++culledLastPreview_;
        }
        // The traced sky's dome shows its texture as the traced image does, unlit; any other sky
        // is lit by light 0 as a distant light, with OpenGL's ambient light. A point light
        // hundreds of units away would leave either dark.
        const bool dome = !object.textures.empty() && &object.textures[0] == scene_->sky.texture;
        const bool sky = !dome && int(i) == skyObject;
        if (dome) glDisable(GL_LIGHTING);
        if (sky) LightAsDistant(true, sceneAmbient);
        if (object.batches.empty()) {
            object.Draw();
        } else {
            DrawMaterialBatches(object, i, i < cutOutTextures_.size() ? &cutOutTextures_[i] : nullptr, lighting, false, shaded);
        }
        if (sky) LightAsDistant(false, sceneAmbient);
        if (dome) glEnable(GL_LIGHTING);
        if (cull) glDisable(GL_CULL_FACE);
        glFrontFace(GL_CCW);
    }

    // The translucent surfaces over everything else.
    glPushAttrib(GL_ENABLE_BIT | GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glDepthMask(GL_FALSE);
    for (unsigned i = 0; i < scene_->objects.Size(); ++i) {
        RAYTR::TObject& object = scene_->objects[i];
        if (!object.batches.empty())
            DrawMaterialBatches(object, i, i < cutOutTextures_.size() ? &cutOutTextures_[i] : nullptr, lighting, true, shaded);
    }
    glPopAttrib();

    // Light marker: an unlit, untextured white sphere at the light position.
    glPushMatrix();
    glDisable(GL_LIGHTING);
    glDisable(GL_TEXTURE_2D);
    glTranslatef(lightPosition_[0], lightPosition_[1], lightPosition_[2]);
    glColor3f(1.0f, 1.0f, 1.0f);
    if (quadrics_[0] != nullptr && drawLightMarker) gluSphere(quadrics_[0], 0.2, 20, 20);
    glEnable(GL_TEXTURE_2D);
    glEnable(GL_LIGHTING);

    glPopMatrix();
    glPopMatrix();
    glPopMatrix();
}

void Render::LightAsDistant(bool on, const float* sceneAmbient) const {
    // Called in the frame light 0 was placed in. A directional light is not attenuated.
    static const float kAmbient[4] = {RAYTR::kSceneAmbient, RAYTR::kSceneAmbient, RAYTR::kSceneAmbient, 1.0f};
    const float direction[4] = {lightPosition_[0], lightPosition_[1], lightPosition_[2], 0.0f};
    glLightfv(GL_LIGHT0, GL_POSITION, on ? direction : lightPosition_);
    glLightModelfv(GL_LIGHT_MODEL_AMBIENT, on ? kAmbient : sceneAmbient);
    if (on) glDisable(GL_LIGHT1);
    else if (scene_->lighting.skyLight > 0.0f) glEnable(GL_LIGHT1);
}

const std::uint32_t* Render::ReadDepthBuffer() {
    // GL_UNSIGNED_INT: a 32-bit depth buffer comes back as a copy, where GL_FLOAT costs llvmpipe
    // a conversion of every pixel on this thread (0.1 against 0.4 ms at 512 x 512).
    glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glPixelStorei(GL_PACK_ROW_LENGTH, 0);
    glPixelStorei(GL_PACK_SKIP_ROWS, 0);
    glPixelStorei(GL_PACK_SKIP_PIXELS, 0);
    glReadPixels(0, 0, width_, height_, GL_DEPTH_COMPONENT, GL_UNSIGNED_INT, depth_.get());
    glPopClientAttrib();
    return depth_.get();
}

void Render::DrawOverlay() {
    // One unit per pixel of the drawing area, origin at the lower left.
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    glOrtho(0.0, width_, 0.0, height_, -1.0, 1.0);
    // new colour = old colour * quad colour; no depth test, no lighting. The enables, the blend
    // function and the current colour are restored afterwards, whatever they were.
    glPushAttrib(GL_ENABLE_BIT | GL_COLOR_BUFFER_BIT | GL_CURRENT_BIT);
    glBlendFunc(GL_ZERO, GL_SRC_COLOR);
    glEnable(GL_BLEND);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_LIGHTING);
    // The texture laid on as the window is ordered: texel (column i, row j) over window pixel
    // (i, j) from the lower left. The drawing area is the window (a resize makes a new
    // renderer), so with one texel per pixel and nearest filtering every mask value lands
    // exactly on the pixel it was computed for.
    const int w = width_;
    const int h = height_;
    glBegin(GL_QUADS);
    glColor4f(1.0f, 1.0f, 1.0f, 0.0f);
    glTexCoord2f(0.0f, 0.0f);
    glVertex2i(0, 0);
    glTexCoord2f(1.0f, 0.0f);
    glVertex2i(w, 0);
    glTexCoord2f(1.0f, 1.0f);
    glVertex2i(w, h);
    glTexCoord2f(0.0f, 1.0f);
    glVertex2i(0, h);
    glEnd();
    // Lighting, depth test, blending and colour as they were, then the projection.
    glPopAttrib();
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
}

void DrawTracedImage(const std::uint32_t* image, int imageWidth, int imageHeight, int windowWidth, int windowHeight) {
    if (image == nullptr || imageWidth <= 0 || imageHeight <= 0) return;
    const int w = windowWidth < imageWidth ? windowWidth : imageWidth;
    const int h = windowHeight < imageHeight ? windowHeight : imageHeight;
    if (w <= 0 || h <= 0) return;
    // Mesa's glDrawPixels makes a texture of the picture's size for every call and frees it.
    // glibc would serve a block that large by mmap and return it at once (its moving threshold
    // is set to the size just freed, and a block of that same size is still mapped afresh), so
    // every frame would fault in 8 MB of pages at full HD: 3-4 ms of a 45 ms frame. Blocks up to
    // 32 MiB come from the heap, and the heap keeps up to 64 MiB free.
    static const bool heapForLargeBlocks = [] {
        mallopt(M_MMAP_THRESHOLD, 32 << 20);
        mallopt(M_TRIM_THRESHOLD, 64 << 20);
        return true;
    }();
    (void)heapForLargeBlocks;
    // The pixels as they are: no texture, blending or depth test on the copy.
    glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT);
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_BLEND);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_LIGHTING);
    // Rows of the image's width, starting at the window's lower-left corner.
    glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, imageWidth);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
    glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
    glWindowPos2i(0, 0);
    glDrawPixels(w, h, GL_RGBA, GL_UNSIGNED_BYTE, image);
    glPopClientAttrib();
    glPopAttrib();
}

}  // namespace ORVA_GRAPHICS
