#pragma once
// A material as a model file gives it, before its texture file is looked up: the plain record
// that both the 3DS reader and the import of the other formats fill.

#include <string>
#include <vector>

namespace LOAD_3DS {

// The colour of a surface whose file gives it none (a light clay, on which shading and shadows
// read clearly): red, green, blue in 0..1.
inline constexpr float kClayColour[3] = {214.0f / 255.0f, 196.0f / 255.0f, 170.0f / 255.0f};

struct FileMaterial {
    std::string name;
    float diffuse[3] = {kClayColour[0], kClayColour[1], kClayColour[2]};
    // Multiplies the texture (a glTF base colour factor); white for the formats whose texture
    // takes the place of the colour.
    float tint[3] = {1.0f, 1.0f, 1.0f};
    // The diffuse texture as the file names it (a path of the author's machine, or a name for an
    // embedded image); empty for none.
    std::string texture;
    // An image held inside the model file: its encoded bytes (PNG, JPEG, ...), or its pixels
    // as red, green, blue bytes, top row first, when embeddedWidth > 0.
    std::vector<unsigned char> embedded;
    int embeddedWidth = 0;
    int embeddedHeight = 0;
};

}  // namespace LOAD_3DS
