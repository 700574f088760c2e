#include "app/inspect_views.h"

#include <GL/freeglut.h>
#include <GL/gl.h>
#include <GL/glu.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ostream>
#include <unordered_map>
#include <utility>

#include "app/png_image.h"
#include "app/win_main.h"
#include "grid/regular_grid.h"
#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"
#include "raytracer/tobject.h"
#include "render/render.h"

namespace WIN_NMS {

namespace {

// A traced object has a grid and takes part in at least one of the scene's queries.
const RAYTR::Grid* TracedGrid(const RAYTR::TObject& object) {
    const unsigned traced = RAYTR::TObject::kClosestHitFlag | RAYTR::TObject::kShadowFlag;
    return (object.flags & traced) != 0 ? object.grid : nullptr;
}

// Edge of the cells along each axis (1 where the grid has no usable cell size).
void CellEdges(const RAYTR::Grid& grid, float s[3]) {
    for (int axis = 0; axis < 3; ++axis) {
        const float inverse = grid.InverseCellSize()[axis];
        s[axis] = inverse > 0.00001f ? 1.0f / inverse : 1.0f;
    }
}

// Blue for one triangle through green and yellow to red for the fullest cell, on a logarithmic
// scale (most cells hold few triangles).
void CountColour(unsigned count, unsigned largest, unsigned char rgb[3]) {
    static const float ramp[4][3] = {{40, 90, 255}, {0, 220, 120}, {255, 220, 0}, {255, 40, 20}};
    const float t = largest > 1 ? static_cast<float>(std::log(double(count)) / std::log(double(largest))) : 1.0f;
    const float x = std::clamp(t, 0.0f, 1.0f) * 3.0f;
    const int k = std::min(2, static_cast<int>(x));
    const float f = x - static_cast<float>(k);
    for (int c = 0; c < 3; ++c) rgb[c] = static_cast<unsigned char>(ramp[k][c] + (ramp[k + 1][c] - ramp[k][c]) * f + 0.5f);
}

std::uint32_t Rgba(const unsigned char rgb[3]) {
    const std::uint8_t bytes[4] = {rgb[0], rgb[1], rgb[2], 255};
    std::uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

}  // namespace

void InspectViews::CycleGrid() {
    grid = grid == GridView::kOff ? GridView::kCells : grid == GridView::kCells ? GridView::kCellsByCount : GridView::kOff;
}

void InspectViews::CycleMask(RAYTR::ScreenTracer* tracer) {
    mask = mask == MaskView::kOff ? MaskView::kMask : mask == MaskView::kMask ? MaskView::kTracedPixels : MaskView::kOff;
    if (tracer) AttachTracer(*tracer);
}

void InspectViews::AttachTracer(RAYTR::ScreenTracer& tracer) {
    tracer.MarkTracedPixels(mask != MaskView::kOff);
    const std::size_t count = static_cast<std::size_t>(tracer.Width()) * tracer.Height();
    if (mask != MaskView::kOff && maskPicture_.size() != count) maskPicture_.assign(count, 0u);
}

void InspectViews::DrawMaskView(const RAYTR::ScreenTracer& tracer) {
    if (mask == MaskView::kOff) return;
    const int w = tracer.Width();
    const int h = tracer.Height();
    const std::size_t count = static_cast<std::size_t>(w) * h;
    if (maskPicture_.size() != count) return;  // switched on before the tracer existed
    const std::uint32_t* values = tracer.Buffer(0);     // the frame's own mask: kLit or kShadow
    const std::uint8_t* shown = tracer.MaskBytes();     // what the overlay shows: the mean of the passes
    const std::uint8_t* marks = tracer.TracedMarks();
    const bool marked = mask == MaskView::kTracedPixels && marks != nullptr;
    const std::uint32_t tracedLit = Rgba(kTracedLit), tracedShadow = Rgba(kTracedShadow);
    const std::uint32_t filledLit = Rgba(kFilledLit), filledShadow = Rgba(kFilledShadow);
    int traced = 0;
    // Mask and picture are both in window order, row 0 at the bottom.
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const std::size_t p = static_cast<std::size_t>(y) * w + x;
            const std::uint32_t v = values[p];
            std::uint32_t colour;
            if (marks != nullptr && marks[p] != 0) ++traced;
            if (!marked) {
                const unsigned char grey = shown[p];  // lit 255, shadow 0, a penumbra between
                const unsigned char rgb[3] = {grey, grey, grey};
                colour = Rgba(rgb);
            } else if (marks[p] != 0) {
                colour = v == RAYTR::ScreenTracer::kShadow ? tracedShadow : tracedLit;
            } else {
                colour = v == RAYTR::ScreenTracer::kShadow ? filledShadow : filledLit;
            }
            maskPicture_[static_cast<std::size_t>(y) * w + x] = colour;
        }
    if (marks != nullptr) {
        tracedPixels = traced;
        tracedShare = static_cast<double>(traced) / static_cast<double>(count);
    }
    ORVA_GRAPHICS::DrawTracedImage(maskPicture_.data(), w, h, w, h);
}

InspectViews::CellLines InspectViews::OccupiedCellLines(const RAYTR::Grid& grid) {
    CellLines lines;
    const auto& array = grid.Cells();
    const unsigned nx = array.Dim(0), ny = array.Dim(1), nz = array.Dim(2);
    unsigned largest = 0;
    for (unsigned c = 0; c < array.Count(); ++c) largest = std::max(largest, array[c].size);
    float s[3];
    CellEdges(grid, s);
    const ORVA_MATH::VECTOR& minimum = grid.Minimum();
    // Every edge of every occupied cell once: the edge from lattice corner (x, y, z) along an
    // axis, keyed by corner and axis; a shared edge takes the colour of its fullest cell.
    // Lattice corner x lies at grid coordinate x - 0.5 (cell x is centred on x).
    std::unordered_map<std::uint64_t, std::pair<unsigned, unsigned>> edges;  // key -> (slot, count)
    auto corner = [&](unsigned x, unsigned y, unsigned z) {
        lines.positions.push_back(minimum.x + (static_cast<float>(x) - 0.5f) * s[0]);
        lines.positions.push_back(minimum.y + (static_cast<float>(y) - 0.5f) * s[1]);
        lines.positions.push_back(minimum.z + (static_cast<float>(z) - 0.5f) * s[2]);
    };
    for (unsigned x = 0; x < nx; ++x)
        for (unsigned y = 0; y < ny; ++y)
            for (unsigned z = 0; z < nz; ++z) {
                const unsigned count = array.at(x, y, z).size;
                if (count == 0) continue;
                for (int axis = 0; axis < 3; ++axis)
                    for (unsigned a = 0; a < 2; ++a)
                        for (unsigned b = 0; b < 2; ++b) {
                            // The four edges of the cell along this axis.
                            unsigned cx = x, cy = y, cz = z;
                            if (axis == 0) cy += a, cz += b;
                            else if (axis == 1) cx += a, cz += b;
                            else cx += a, cy += b;
                            const std::uint64_t key = ((std::uint64_t{cx} * (ny + 2) + cy) * (nz + 2) + cz) * 3 + axis;
                            auto [it, added] = edges.try_emplace(key, static_cast<unsigned>(lines.positions.size() / 3), count);
                            if (!added) {
                                it->second.second = std::max(it->second.second, count);
                                continue;
                            }
                            corner(cx, cy, cz);
                            corner(cx + (axis == 0), cy + (axis == 1), cz + (axis == 2));
                        }
            }
    lines.colours.assign(lines.positions.size(), 0);
    for (const auto& [key, slot] : edges) {
        unsigned char rgb[3];
        CountColour(slot.second, largest, rgb);
        for (unsigned v = 0; v < 2; ++v)
            for (int c = 0; c < 3; ++c) lines.colours[(slot.first + v) * 3 + c] = rgb[c];
    }
    return lines;
}

void InspectViews::BuildCellLines(const RAYTR::Scene& scene) {
    const unsigned n = scene.objects.Size();
    cellLines_.assign(n, CellLines{});
    linesBuilt_ = true;
    for (unsigned i = 0; i < n; ++i)
        if (const RAYTR::Grid* const cells = TracedGrid(scene.objects[i])) cellLines_[i] = OccupiedCellLines(*cells);
}

void InspectViews::DrawGrid(const RAYTR::Scene& scene) {
    if (grid == GridView::kOff) return;
    if (!linesBuilt_) BuildCellLines(scene);  // once: the objects and their grids do not change
    glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT);
    glPushClientAttrib(GL_CLIENT_VERTEX_ARRAY_BIT);
    // No lighting, texture or depth test; and no colour material, so that the line colours do
    // not become the preview's material.
    glDisable(GL_LIGHTING);
    glDisable(GL_COLOR_MATERIAL);
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_BLEND);
    // The preview's projection with the scene's clipping planes of this frame (in the traced
    // image the preview, which would set them, is not drawn).
    GLint viewport[4] = {0, 0, 1, 1};
    glGetIntegerv(GL_VIEWPORT, viewport);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    gluPerspective(45.0, WIN_MAIN_CLASS::AspectRatio(viewport[2], viewport[3]), scene.nearDistance, scene.farDistance);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    // The preview's camera and rotation, then each object's own transform.
    const ORVA_MATH::VECTOR eye = scene.GetEye();
    const ORVA_MATH::VECTOR at = scene.GetTarget();
    gluLookAt(eye.x, eye.y, eye.z, at.x, at.y, at.z, 0.0, 1.0, 0.0);
    glMultMatrixf(scene.rotation.m);
    glDisableClientState(GL_NORMAL_ARRAY);
    glDisableClientState(GL_TEXTURE_COORD_ARRAY);
    glEnableClientState(GL_VERTEX_ARRAY);
    if (grid == GridView::kCellsByCount) glEnableClientState(GL_COLOR_ARRAY);
    else glColor3ubv(kCellColour);
    const unsigned n = std::min<unsigned>(scene.objects.Size(), static_cast<unsigned>(cellLines_.size()));
    for (unsigned i = 0; i < n; ++i) {
        const CellLines& lines = cellLines_[i];
        if (lines.positions.empty()) continue;
        glPushMatrix();
        glMultMatrixf(scene.objects[i].box.transform.m);
        glVertexPointer(3, GL_FLOAT, 0, lines.positions.data());
        if (grid == GridView::kCellsByCount) glColorPointer(3, GL_UNSIGNED_BYTE, 0, lines.colours.data());
        glDrawArrays(GL_LINES, 0, static_cast<GLsizei>(lines.positions.size() / 3));
        glPopMatrix();
    }
    glPopMatrix();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopClientAttrib();
    glPopAttrib();
}

std::string InspectViews::ScreenshotName(const std::tm& local) {
    char name[64];
    std::strftime(name, sizeof name, "redowl-%Y%m%d-%H%M%S.png", &local);
    return name;
}

Image ReadBackBuffer(int width, int height) {
    Image image;
    image.width = width;
    image.height = height;
    image.channels = 3;
    const std::size_t stride = static_cast<std::size_t>(width) * 3;
    std::vector<unsigned char> rows(stride * height);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, rows.data());
    image.pixels.resize(rows.size());
    for (int y = 0; y < height; ++y)  // OpenGL rows from the bottom, PNG rows from the top
        std::memcpy(image.pixels.data() + (height - 1 - y) * stride, rows.data() + y * stride, stride);
    return image;
}

const char* InspectViews::ControlsText() {
    return "left drag             turn the scene\n"
           "wheel                 zoom to the point under the cursor\n"
           "right or middle drag  pan\n"
           "f                     frame the models again\n"
           "1  3  7               front, side, top view of them\n"
           "u  U                  turn them to the next (previous) up axis\n"
           "Home                  the first view\n"
           "F2                    hybrid mode / traced image\n"
           "F3  F4                grid view, mask view\n"
           "F11                   save the window as a PNG file\n"
           "F12                   statistics on standard output\n"
           "p  Space              stop or start the light\n"
           "arrows, Page Up/Down  move the light\n"
           "m                     hide or show the light's marker\n"
           "d                     traced image denoised / plain mean\n"
           "h  ?                  these controls (any key hides them)\n"
           "Esc                   quit\n";
}

void InspectViews::DrawControls(int width, int height) {
    // Lines of 15-pixel glyphs (9 wide) on a panel of 70% black, 12 pixels in from the corner.
    constexpr int kLine = 17, kGlyph = 9, kMargin = 12, kPad = 10;
    const char* text = ControlsText();
    int lines = 0, columns = 0, column = 0;
    for (const char* c = text; *c; ++c) {
        if (*c == '\n') {
            ++lines;
            columns = std::max(columns, column);
            column = 0;
        } else {
            ++column;
        }
    }
    const int panelWidth = columns * kGlyph + 2 * kPad, panelHeight = lines * kLine + 2 * kPad;
    glPushAttrib(GL_ALL_ATTRIB_BITS);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    glOrtho(0.0, width, 0.0, height, -1.0, 1.0);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    glDisable(GL_LIGHTING);
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    const int left = kMargin, top = height - kMargin;
    glColor4f(0.0f, 0.0f, 0.0f, 0.7f);
    glRecti(left, top - panelHeight, left + panelWidth, top);
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
    int y = top - kPad - kLine + 4;
    for (const char* line = text; *line; ++line) {
        const char* end = std::strchr(line, '\n');
        glRasterPos2i(left + kPad, y);
        for (const char* c = line; c < end; ++c) glutBitmapCharacter(GLUT_BITMAP_9_BY_15, *c);
        y -= kLine;
        line = end;
    }
    glPopMatrix();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopAttrib();
}

void InspectViews::SaveScreenshot(int width, int height, std::ostream& out, std::ostream& err) {
    screenshotPending = false;
    if (width <= 0 || height <= 0) {
        err << "Screenshot not saved: the window has no pixels" << std::endl;
        return;
    }
    const Image image = ReadBackBuffer(width, height);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const std::string name = ScreenshotName(local);
    std::string error;
    if (WritePng(name, image, &error))
        out << "Screenshot saved: " << name << " (" << width << " x " << height << ")" << std::endl;
    else
        err << "Screenshot not saved: " << error << std::endl;
}

void InspectViews::PrintStatistics(const RAYTR::Scene& scene, const FrameTimings& timings, std::ostream& out) {
    for (unsigned i = 0; i < scene.objects.Size(); ++i) {
        const RAYTR::TObject& object = scene.objects[i];
        RAYTR::Grid* const cells = const_cast<RAYTR::Grid*>(TracedGrid(object));
        if (!cells) continue;
        const int* n = cells->Resolution();
        // The edge of the cells built, which a box or factor that asked for too many cells made
        // longer than the configured one (per axis when one axis was lengthened alone).
        const float* inverse = cells->InverseCellSize();
        float edge[3];
        for (int a = 0; a < 3; ++a) edge[a] = inverse[a] > 0.0f ? 1.0f / inverse[a] : cells->CellSize();
        out << "Model " << i << ": " << object.triangleCount << " triangles, grid " << n[0] << " x " << n[1] << " x "
            << n[2] << " cells of edge " << edge[0];
        if (edge[1] != edge[0] || edge[2] != edge[0]) out << " x " << edge[1] << " x " << edge[2];
        out << std::endl;
        cells->PrintStatistics(out);
        out << std::endl;
    }
    const auto ms = [](double seconds) { return seconds * 1000.0; };
    const std::ios::fmtflags saved = out.flags();
    const std::streamsize precision = out.precision();
    out.setf(std::ios::fixed);
    out.precision(2);
    out << "Frame (ms): preview " << ms(timings.preview) << ", depth read-back " << ms(timings.depthRead) << ", tracing "
        << ms(timings.tracing) << ", upload " << ms(timings.upload) << ", swap " << ms(timings.swap) << ", whole frame "
        << ms(timings.frame) << std::endl;
    out.flags(saved);
    out.precision(precision);
}

}  // namespace WIN_NMS
