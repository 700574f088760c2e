#pragma once
// RENDER: the rasterised OpenGL preview of the ray-tracing scene, the read-back of its depth
// buffer for the screen tracer, and the full-window overlay that multiplies the tracer's
// shadow mask over the preview.
//
// Only the instantiation for the OpenGL layer and RAYTR::Scene exists. Every operation runs on
// the window thread with the GL context current.

#include <GL/gl.h>
#include <GL/glu.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "math/aligned.h"
#include "math/vector.h"
#include "raytracer/scene.h"
#include "mesh/opengl_hal.h"
#include "render/preview_shaded.h"

namespace ORVA_GRAPHICS {

template <class HAL, class SCENE>
class RENDER;

template <>
class RENDER<OpenGL_HAL, RAYTR::Scene> final : public ORVA_MATH::SSE_Aligned_Object {
public:
    static constexpr int kQuadricCount = 8;

    // Enables depth test, lighting, colour material and textures, sets up light 0 and allocates
    // the depth read-back of width * height words. Needs a current GL context.
    RENDER(int width, int height);
    ~RENDER();
    RENDER(const RENDER&) = delete;
    RENDER& operator=(const RENDER&) = delete;

    // Stores the scene (not owned), copies near and far and sets a 45 degree projection. Finds
    // the objects that are closed surfaces facing outward (see ClosedOutward).
    virtual void AttachScene(RAYTR::Scene* scene);
    // Clears to dark blue and draws every object (with its texture 0, or one batch per material
    // of the file with its highlight), light 0 placed in the rotated frame: a point with the
    // tracer's attenuation when the scene's light 0 has w = 1, else a direction toward it; the
    // sky light's mean (or OpenGL's 0.2) as the scene's ambient light, the traced sky's dome
    // unlit, another sky (skyObject) as under a distant light; and a white sphere at the light, seen
    // from the scene's eye and target through its clipping planes (the projection is set again
    // when they have changed since the last preview). Does not swap buffers.
    virtual void DrawPreview();
    // Back faces of object i can never be seen from outside it: its triangles, with corners
    // joined where their positions are equal, close a surface in which every edge is crossed
    // once each way, with counter-clockwise (front) faces outward. While the eye is outside
    // such an object's box by more than the near plane reaches, the preview skips its back
    // faces (GL_CULL_FACE): the same picture, with half its triangles rasterised (and the same
    // depth, but for a silhouette pixel now and then where a back face's rounded depth came
    // out a hair, 1e-6, nearer than the front face's).
    bool ClosedOutward(unsigned i) const { return i < closedOutward_.size() && closedOutward_[i] != 0; }
    // Objects drawn with back faces skipped in the last preview (the closed ones above, and the
    // closed or two-sided models in their own materials wherever the eye is: the tracer meets
    // front faces only, and a face meant to be seen from both sides has a turned copy,
    // mesh/winding.h).
    int CulledLastPreview() const { return culledLastPreview_; }
    bool cullHiddenBackFaces = true;
    // The white sphere at the light (the viewer's m key, the snapshot's --no-marker).
    bool drawLightMarker = true;
    // The object that is the sky (-1: none). Unless it is the traced sky's dome (drawn unlit,
    // as the traced image shows it), it is lit by light 0 as a distant light (toward its
    // position, unattenuated, OpenGL's ambient light) whatever the light, so a point light
    // hundreds of units from it never darkens it.
    int skyObject = -1;

    // Multiplies the window's colours by the bound luminance texture of width x height texels:
    // the texel of column i, row j lands on window pixel (i, j) from the lower left. Leaves the
    // GL state as it found it.
    virtual void DrawOverlay();

    // The depth of the current frame (before the swap): width * height window depths as 32-bit
    // unsigned normalised words (0 near, 0xFFFFFFFF far; RAYTR::DepthFromWord gives the value
    // in [0, 1]), rows from the bottom, pixels from the left. Words rather than floats: the
    // driver copies its depth buffer nearly as it stores it, and the tracer converts only the
    // pixels it reconstructs, on its own threads.
    const std::uint32_t* ReadDepthBuffer();

    int Width() const { return width_; }
    int Height() const { return height_; }
    float Near() const { return near_; }
    float Far() const { return far_; }
    const RAYTR::Scene* AttachedScene() const { return scene_; }
    const std::uint32_t* DepthBuffer() const { return depth_.get(); }
    const float* LightPosition() const { return lightPosition_; }
    // Models in their own materials are drawn by the shaded preview (render/preview_shaded.h)
    // while it is ready and this is true; false draws them fixed-function.
    bool shadeMaterials = true;
    bool ShadedReady() const { return shaded_.Ready(); }
    // A line for the load report when the shaded preview could not be made (empty otherwise).
    const std::string& PreviewNote() const { return shaded_.Note(); }

private:
    float near_ = 1.0f;
    float far_ = 1000.0f;
    int width_;
    int height_;
    RAYTR::Scene* scene_ = nullptr;
    std::unique_ptr<std::uint32_t[]> depth_;  // width_ * height_
    GLUquadric* quadrics_[kQuadricCount] = {};
    std::vector<unsigned char> closedOutward_;      // per object of the attached scene
    std::vector<ORVA_MATH::VECTOR> objectBoxes_;    // per object: minimum, maximum of its vertices
    int culledLastPreview_ = 0;
    // Per object and material: the RGBA texture of a material with an opacity texture (its
    // colour and its opacity as alpha, for the alpha test), 0 for none; made at AttachScene.
    std::vector<std::vector<GLuint>> cutOutTextures_;
    std::vector<GLuint> cutOutNames_;
    ShadedPreview shaded_;
    std::vector<unsigned char> ownMaterials_;  // per object: some material is described
    std::vector<unsigned char> twoSided_;      // per object: a described material is two-sided
    void MakeCutOutTextures();
    bool BackFacesHidden(unsigned i, const ORVA_MATH::MATRIX& rotation) const;
    // on: light 0 as a direction toward its position, OpenGL's 0.2 ambient, the sky light's
    // second light off; off: as DrawPreview set them (sceneAmbient, the sky light).
    void LightAsDistant(bool on, const float* sceneAmbient) const;
    // gluPerspective(45, width / height, near, far) into the projection matrix.
    void SetProjection() const;
    ORVA_MATH::VECTOR eye_{0.0f, 0.0f, 0.0f, 1.0f};
    ORVA_MATH::VECTOR lookAt_{0.0f, 0.0f, 0.0f, 1.0f};
    float lightAmbient_[4] = {RAYTR::kLightAmbient, RAYTR::kLightAmbient, RAYTR::kLightAmbient, 1.0f};
    float lightSpecular_[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    float lightDiffuse_[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    float lightPosition_[4] = {2.0f, 5.0f, 10.0f, 0.0f};
};

// Copies the traced image (4 bytes per pixel: red, green, blue, a fourth byte; rows from the
// bottom) to the window's lower-left corner, unchanged: texturing, blending and the depth test
// are off for the copy and restored after it. Copies min(window, image) columns and rows and
// reads rows of the image's own width, so a window resized beyond the image never makes the
// copy read past it.
void DrawTracedImage(const std::uint32_t* image, int imageWidth, int imageHeight, int windowWidth, int windowHeight);

}  // namespace ORVA_GRAPHICS

using Renderer = ORVA_GRAPHICS::RENDER<ORVA_GRAPHICS::OpenGL_HAL, RAYTR::Scene>;
