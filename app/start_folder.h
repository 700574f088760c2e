#pragma once
// The optional folder argument of the viewer and the snapshot program: the process then runs as
// if started in that folder (release.cgf, the models, the textures and Err.txt all there).

#include <fstream>
#include <string>

namespace WIN_NMS {

// Changes the working directory to dir and moves the process's empty Err.txt there (the one
// made in the starting folder before main is removed when it is still empty). Throws
// TIRN_ERROR::File_Error "Can not open folder " + dir, which shows its box, when dir cannot be
// entered.
void EnterStartFolder(const std::string& dir, std::ofstream& errorLog);

}  // namespace WIN_NMS
