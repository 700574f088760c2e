#define GL_GLEXT_PROTOTYPES  // glWindowPos2i (OpenGL 1.4)
#include "render/render.h"

#include <cstddef>

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
    // Light 0: dim ambient, white diffuse and specular.
    glLightfv(GL_LIGHT0, GL_AMBIENT, lightAmbient_);
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

void Render::AttachScene(RAYTR::Scene* scene) {
    scene_ = scene;
    if (scene_ != nullptr) {
        near_ = scene_->nearDistance;
        far_ = scene_->farDistance;
    }
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
    if (scene_->lights.Size() > 0) {
        const ORVA_MATH::VECTOR& p = scene_->lights[0].position;
        lightPosition_[0] = p.x;
        lightPosition_[1] = p.y;
        lightPosition_[2] = p.z;
        lightPosition_[3] = p.w;
    }
    eye_ = scene_->GetEye();
    lookAt_ = scene_->GetTarget();
    const ORVA_MATH::MATRIX rotation = scene_->rotation;

    // Camera, then the view rotation, under which the light is placed.
    glPushMatrix();
    gluLookAt(eye_.x, eye_.y, eye_.z, lookAt_.x, lookAt_.y, lookAt_.z, 0.0, 1.0, 0.0);
    glPushMatrix();
    glMultMatrixf(rotation.m);
    glLightfv(GL_LIGHT0, GL_POSITION, lightPosition_);

    // The objects in the order added, each with its texture 0.
    for (unsigned i = 0; i < scene_->objects.Size(); ++i) {
        RAYTR::TObject& object = scene_->objects[i];
        if (!object.textures.empty()) glBindTexture(GL_TEXTURE_2D, object.textures[0].textureName);
        object.Draw();
    }

    // Light marker: an unlit, untextured white sphere at the light position.
    glPushMatrix();
    glDisable(GL_LIGHTING);
    glDisable(GL_TEXTURE_2D);
    glTranslatef(lightPosition_[0], lightPosition_[1], lightPosition_[2]);
    glColor3f(1.0f, 1.0f, 1.0f);
    if (quadrics_[0] != nullptr) gluSphere(quadrics_[0], 0.2, 20, 20);
    glEnable(GL_TEXTURE_2D);
    glEnable(GL_LIGHTING);

    glPopMatrix();
    glPopMatrix();
    glPopMatrix();
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
