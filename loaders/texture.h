#pragma once
// An RGB image read from an uncompressed 24-bit BMP file, bottom row first, with its OpenGL
// texture object and a GLU quadric switched to texture-coordinate generation at the first upload.

#include <GL/gl.h>
#include <GL/glu.h>

#include <string>

class TEXTURE {
public:
    int width = 0;                      // pixels; set by LoadBMP
    int height = 0;                     // pixels; set by LoadBMP
    unsigned char* pixels = nullptr;    // width * height * 3 bytes, R G B, bottom row first, no padding
    GLUquadric* quadric = nullptr;      // shared by copies, never deleted
    GLuint textureName = 0;             // provisional counter value until the first Upload
    bool firstUpload = true;
    std::string fileName;

    // Creates the quadric and takes the next provisional texture name (0 for the first record
    // of the process, then 1, 2, ...). Needs no GL context.
    TEXTURE();
    // Copies share the quadric and the texture name and own a separate copy of the pixels.
    // Copies do not advance the provisional name counter.
    TEXTURE(const TEXTURE& other);
    TEXTURE& operator=(const TEXTURE& other);
    // Moves share the quadric and the texture name and take the pixels (a texture's pixels can
    // be hundreds of megabytes: records are moved, not copied, where they change hands).
    TEXTURE(TEXTURE&& other) noexcept;
    TEXTURE& operator=(TEXTURE&& other) noexcept;
    // Frees the pixels; the GL texture object and the quadric live until the process ends.
    ~TEXTURE();

    // Reads a 24-bit BMP with a 40-byte information header and pixels at offset 54.
    // Returns 1; every failure throws File_Error or Image_File_Error (the box is shown).
    int LoadBMP(const char* fileName);

    // Sends the pixels to the current GL context: the first call creates the texture object and
    // sets its parameters, later calls replace its image. Does nothing while no image is loaded.
    void Upload();

    // The value the next default-constructed record will take as its provisional name.
    static GLuint PeekProvisionalName();
};
