#pragma once
// What the viewer shows on request about how its picture is made: the occupied grid cells of
// every traced model (F3), the shadow mask with the pixels the tracer computed (F4), the grid
// statistics with the frame's timings (F12), screenshots (F11), and its controls (h).
//
// The key handlers only change state here; the drawing runs inside the frame on the window
// thread. Everything a view needs per frame is made once, when the view is first used (line
// arrays of the cells, the picture of the mask view, the tracer's marks), so frames with a view
// on allocate nothing.

#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "grid/regular_grid.h"

namespace RAYTR {
class Scene;
class ScreenTracer;
}  // namespace RAYTR

namespace WIN_NMS {

struct FrameTimings;
struct Image;

// The current back buffer of width x height pixels as an RGB image, row 0 at the top (what the
// window shows once the buffers are swapped). Needs the window's GL context.
Image ReadBackBuffer(int width, int height);

enum class GridView { kOff, kCells, kCellsByCount };   // F3 cycles through these in order
enum class MaskView { kOff, kMask, kTracedPixels };    // F4 likewise

class InspectViews {
public:
    // Colours of the views (RGB bytes).
    static constexpr unsigned char kCellColour[3] = {255, 220, 0};
    static constexpr unsigned char kTracedLit[3] = {255, 64, 32};      // computed by the tracer: lit
    static constexpr unsigned char kTracedShadow[3] = {140, 0, 0};     //   in shadow
    static constexpr unsigned char kFilledLit[3] = {200, 215, 235};    // filled from its block's corners: lit
    static constexpr unsigned char kFilledShadow[3] = {20, 40, 90};    //   in shadow

    InspectViews() = default;
    ~InspectViews() = default;
    InspectViews(const InspectViews&) = delete;
    InspectViews& operator=(const InspectViews&) = delete;

    // Key handlers: next state of the cycle (no GL). CycleMask switches the tracer's marks of
    // traced pixels on while a mask view is on; tracer may be null before assembly.
    void CycleGrid();
    void CycleMask(RAYTR::ScreenTracer* tracer);
    // Applies the current mask view to a (new) tracer: its marks on or off, and the picture at
    // its size. Called by the key and after a resize re-creates the tracer.
    void AttachTracer(RAYTR::ScreenTracer& tracer);
    void RequestScreenshot() { screenshotPending = true; }

    GridView grid = GridView::kOff;
    MaskView mask = MaskView::kOff;
    bool screenshotPending = false;

    // Hybrid frames: replaces the window's picture by the mask view (the mask as the overlay
    // shows it, or the last one-sample mask frame with its traced pixels marked), at
    // the tracer's size in the lower-left corner; updates tracedShare. Does nothing when off.
    void DrawMaskView(const RAYTR::ScreenTracer& tracer);
    // Wire cubes over the occupied cells of every traced object, in the object's own frame
    // under the scene's camera and rotation, over the picture (no depth test: the cells inside
    // and behind the surfaces show too). Each cube covers its cell's own extent. Drawn as one
    // line array per object, each edge shared by neighbouring cells once (the grid's
    // DrawOccupiedCells draws a glutWireCube per cell, ten times slower on a software
    // renderer). These are the system's cell drawings (the grid itself draws nothing). Does
    // nothing when off.
    void DrawGrid(const RAYTR::Scene& scene);
    // Writes the window's back buffer (width x height) as redowl-YYYYMMDD-HHMMSS.png in the
    // working directory and says so on out (or why not on err). Clears the request.
    void SaveScreenshot(int width, int height, std::ostream& out, std::ostream& err);

    // Share of the tracer's pixels that the last mask frame computed with MaskPixel (0 to 1);
    // kept up to date while a mask view is on.
    double tracedShare = 0.0;
    int tracedPixels = 0;

    // The F12 report: for every traced object its grid statistics (naming the algorithm its
    // grid was built with), then the timings of the last frame in milliseconds.
    static void PrintStatistics(const RAYTR::Scene& scene, const FrameTimings& timings, std::ostream& out);

    // The occupied cells of one grid as lines: each distinct cell edge once (x, y, z floats per
    // end, in the grid's own frame), with the colour of its fullest cell (RGB bytes per end).
    // Cell (i, j, k) spans minimum + (i - 0.5, j - 0.5, k - 0.5) to minimum + (i + 0.5, j +
    // 0.5, k + 0.5) cell edges, where the grid has it (cells are centred on whole grid
    // coordinates).
    struct CellLines {
        std::vector<float> positions;
        std::vector<unsigned char> colours;
    };
    static CellLines OccupiedCellLines(const RAYTR::Grid& grid);

    // The viewer's controls (ControlsText) over the picture of a width x height window, in its
    // upper-left corner on a dark translucent panel. Leaves the GL state as it found it.
    static void DrawControls(int width, int height);
    // The controls' lines: a key, blanks, what it does.
    static const char* ControlsText();

    // The screenshot's file name for a local time.
    static std::string ScreenshotName(const std::tm& local);

private:
    void BuildCellLines(const RAYTR::Scene& scene);

    std::vector<std::uint32_t> maskPicture_;  // tracer W*H RGBA words, made once
    std::vector<CellLines> cellLines_;        // per scene object, made on the first grid frame
    bool linesBuilt_ = false;
};

}  // namespace WIN_NMS
