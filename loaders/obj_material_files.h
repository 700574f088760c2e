#pragma once
// The material files an OBJ model names (its "mtllib" lines) and whether it uses materials at
// all ("usemtl" lines), read from the OBJ's text in the viewer's process, so that the load
// report can say when its materials cannot be had: assimp, in the import helper, passes over a
// missing material file in silence and gives the faces its default material.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace LOAD_3DS {

// Reads an OBJ text in pieces of any size (lines may run across pieces). A line is one of
// interest when, after blanks, it starts with the word "mtllib" (the rest of the line, trimmed,
// is the library's name) or "usemtl". Lines are cut at '\n'; a '\r' before it is a blank. A
// line longer than kMaxLine is not one of interest; at most kMaxLibraries names are kept.
class ObjMaterialScanner {
public:
    static constexpr std::size_t kMaxLine = 4096;
    static constexpr std::size_t kMaxLibraries = 64;

    void Feed(std::string_view piece);
    // The last line, when the text does not end with '\n'.
    void Finish();

    const std::vector<std::string>& Libraries() const { return libraries_; }
    bool UsesMaterials() const { return usesMaterials_; }

private:
    void Line(std::string_view line);
    std::string pending_;     // the start of a line that the last piece did not finish
    bool overlong_ = false;   // the pending line has grown past kMaxLine
    std::vector<std::string> libraries_;
    bool usesMaterials_ = false;
};

// The load report's lines about the material files of model file objFile (a file whose name
// ends in ".obj", in any case; none for other files): one per library named that is not a file
// inside the model's folder ("material file NAME not found; ..."), and one when the model uses
// materials without naming a library. A name with blanks that is no file is tried word by word
// (one line may name several libraries).
std::vector<std::string> MaterialFileNotes(const std::string& objFile);

}  // namespace LOAD_3DS
