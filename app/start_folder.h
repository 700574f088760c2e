#pragma once
// The optional argument of the viewer and the snapshot program: a folder, in which the process
// then runs as if started there (release.cgf, the models, the textures and Err.txt all there),
// or a model file, which it opens in the surroundings a written scene would give it.

#include <fstream>
#include <string>

namespace CONFIG {
class Lexer;
}

namespace WIN_NMS {

// The short usage of the viewer (for --help).
const char* ViewerUsage();

// Whether arg names a file (not a folder) that the viewer should open as a model.
bool IsModelFileArgument(const std::string& arg);

// Fills config with the scene that redowl-demo-scene --model would write for the model file
// (the same text, read in memory), model 0 being the file where it lies, and provides the
// surroundings' files (floor, sky, textures) in memory; nothing is written. Throws
// TIRN_ERROR::File_Error (its box shown) when the file is of no format the viewer reads or
// cannot be read.
void OpenModelFile(const std::string& file, CONFIG::Lexer& config);

// Changes the working directory to dir and moves the process's empty Err.txt there (the one
// made in the starting folder before main is removed when it is still empty). Throws
// TIRN_ERROR::File_Error "Can not open folder " + dir, which shows its box, when dir cannot be
// entered.
void EnterStartFolder(const std::string& dir, std::ofstream& errorLog);

}  // namespace WIN_NMS
