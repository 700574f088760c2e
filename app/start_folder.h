#pragma once
// Where the viewer and the snapshot program run, from the places their command line names:
//   - a folder: the process runs as if started there (release.cgf, the models, the textures and
//     Err.txt all there);
//   - model files (up to three): opened side by side in the surroundings a written scene would
//     give them, made in memory; nothing is written anywhere, Err.txt included;
//   - none: the current folder. An installed program in a folder without a release.cgf runs in
//     the user's own copy of the installed demo scene instead (the installation itself is never
//     written to). A release.cgf in the current folder always wins, so a scene folder is opened
//     the same way by an installed program and by one in the build tree.
// Only the folder the process runs in ever gets an Err.txt; a file of that name anywhere else
// is not touched.

#include <fstream>
#include <string>
#include <vector>

#include "app/command_line.h"

namespace CONFIG {
class Lexer;
}

namespace WIN_NMS {

// Fills config with the scene that redowl-demo-scene --model would write around the model files
// (the same text, read in memory; a second and a third model side by side with the first), each
// model key naming its file where it lies, turned and textured as choices say, and provides the
// surroundings' files (floor, sky, textures) in memory; nothing is written. Throws
// TIRN_ERROR::File_Error (its box shown) when a file is missing ("Can not open file NAME"), of
// no format the viewer reads, or cannot be read, or when the texture is missing.
void OpenModelFiles(const std::vector<std::string>& files, const ModelChoices& choices, CONFIG::Lexer& config);

// The installed demo scene: the folder "demo" in the installed data beside the running program
// (<prefix>/bin/../share/redowl/demo) when it holds a release.cgf; empty for a program that is
// not installed (the build tree has no such folder).
std::string InstalledDemoFolder();

// The user's writable place for the demo: $XDG_DATA_HOME/redowl/demo when XDG_DATA_HOME is an
// absolute path, else ~/.local/share/redowl/demo. Empty when there is no home folder.
std::string UserDemoFolder();

// Copies every file below `from` that is missing below `to` (folders made as needed); what is
// there already, an edited release.cgf included, stays as it is. Each file is written under a
// temporary name made by mkstemp in its folder and renamed, so an interrupted copy leaves no
// half file and two first starts at once do not meet; no symbolic link below `to` is followed. Throws
// TIRN_ERROR::File_Error "Can not write the demo scene into " + to (with the reason), its box
// shown, when a file cannot be written.
void CompleteDemoCopy(const std::string& from, const std::string& to);

enum class StartPlace { kCurrentFolder, kNamedFolder, kUserDemo, kModelFile };

// Reads the scene that the places name (none: no argument) into config, as described above:
// enters the folder it runs in, opens Err.txt there (created empty, or emptied), then reads
// release.cgf; for model files it only reads the models (OpenModelFiles). A --size of choices
// then replaces the window's size. Throws TIRN_ERROR::File_Error, its box shown: "Can not open
// file " + name when a place does not exist, "Can not open folder " + dir when a named folder
// cannot be entered (no Err.txt is made then), the demo copy's error, or what reading
// release.cgf or the models throws.
StartPlace OpenStartScene(const std::vector<std::string>& places, const ModelChoices& choices, CONFIG::Lexer& config,
                          std::ofstream& errorLog);

}  // namespace WIN_NMS
