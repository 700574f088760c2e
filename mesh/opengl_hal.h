#pragma once
// Tag type that selects the OpenGL drawing code in the templates parameterised by graphics layer.

namespace ORVA_GRAPHICS {
struct OpenGL_HAL {};
}  // namespace ORVA_GRAPHICS
