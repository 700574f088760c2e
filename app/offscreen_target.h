#pragma once
// The picture of a frame is always made at the size the renderer and the tracer were built for
// (their depth buffer, ray tables and mask are fixed at assembly). While the window has that
// size the frame is drawn straight into it; after a resize it is drawn into an offscreen
// framebuffer of that size and then scaled into the window, aspect kept, centred, the bars in
// the background colour. So the depth read-back, the mask and the traced image always cover
// exactly the pixels they were computed for, and nothing reads beyond the tracer's image.

namespace WIN_NMS {

// The largest rectangle with the image's aspect ratio inside the window, centred (integer
// pixels, lower-left origin). Empty when either size is not positive.
struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
};
Rect FittedRect(int imageWidth, int imageHeight, int windowWidth, int windowHeight);

class OffscreenTarget {
public:
    OffscreenTarget() = default;
    // The GL objects belong to the window's context, which is gone by the time the static
    // application object is destroyed; they live until the process ends.
    ~OffscreenTarget() = default;
    OffscreenTarget(const OffscreenTarget&) = delete;
    OffscreenTarget& operator=(const OffscreenTarget&) = delete;

    // Binds the offscreen colour and depth buffers of width x height (made on the first call)
    // for drawing and reading, and sets the viewport to them.
    void Begin(int width, int height);
    // Back to the window: clears it to the background colour and scales the offscreen picture
    // into the fitted rectangle; the viewport is the window's afterwards.
    void Present(int windowWidth, int windowHeight);

private:
    unsigned framebuffer_ = 0;
    unsigned colour_ = 0;
    unsigned depth_ = 0;
    int width_ = 0;
    int height_ = 0;
};

}  // namespace WIN_NMS
