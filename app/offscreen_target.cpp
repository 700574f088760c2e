#define GL_GLEXT_PROTOTYPES 1
#include "app/offscreen_target.h"

#include <GL/gl.h>
#include <GL/glext.h>

#include <cstdint>

#include "errors/errors.h"

namespace WIN_NMS {

Rect FittedRect(int imageWidth, int imageHeight, int windowWidth, int windowHeight) {
    Rect r;
    if (imageWidth <= 0 || imageHeight <= 0 || windowWidth <= 0 || windowHeight <= 0) return r;
    // Compare windowWidth / windowHeight with imageWidth / imageHeight without rounding.
    const std::int64_t lhs = std::int64_t{windowWidth} * imageHeight;
    const std::int64_t rhs = std::int64_t{windowHeight} * imageWidth;
    if (lhs >= rhs) {  // the window is wider: full height, bars left and right
        r.height = windowHeight;
        r.width = static_cast<int>(rhs / imageHeight);
    } else {           // the window is taller: full width, bars above and below
        r.width = windowWidth;
        r.height = static_cast<int>(lhs / imageWidth);
    }
    r.x = (windowWidth - r.width) / 2;
    r.y = (windowHeight - r.height) / 2;
    return r;
}

void OffscreenTarget::Begin(int width, int height) {
    if (framebuffer_ == 0 || width != width_ || height != height_) {
        if (framebuffer_ == 0) {
            glGenFramebuffers(1, &framebuffer_);
            glGenRenderbuffers(1, &colour_);
            glGenRenderbuffers(1, &depth_);
        }
        glBindRenderbuffer(GL_RENDERBUFFER, colour_);
        glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
        glBindRenderbuffer(GL_RENDERBUFFER, depth_);
        glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT24, width, height);
        glBindRenderbuffer(GL_RENDERBUFFER, 0);
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour_);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, depth_);
        const GLenum status = glCheckFramebufferStatus(GL_FRAMEBUFFER);
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        if (status != GL_FRAMEBUFFER_COMPLETE) throw TIRN_ERROR::Error("The window can not be resized: no offscreen framebuffer");
        width_ = width;
        height_ = height;
    }
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    glViewport(0, 0, width_, height_);
}

void OffscreenTarget::Present(int windowWidth, int windowHeight) {
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glViewport(0, 0, windowWidth, windowHeight);
    glClearColor(0.0f, 0.0f, 0.25f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    const Rect r = FittedRect(width_, height_, windowWidth, windowHeight);
    if (r.width <= 0 || r.height <= 0) return;
    glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer_);
    glBlitFramebuffer(0, 0, width_, height_, r.x, r.y, r.x + r.width, r.y + r.height, GL_COLOR_BUFFER_BIT, GL_LINEAR);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
}

}  // namespace WIN_NMS
