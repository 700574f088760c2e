#pragma once
// The command lines of the programs: one table of options, which each program takes a part of,
// one parser over it, and the choices the programs that open model files share (the window's
// size, the models' up axis, a texture, the model files themselves). Each program's --help lists
// its options from the same table.

#include <string>
#include <utility>
#include <vector>

#include "loaders/up_axis.h"

namespace WIN_NMS {

// "PROGRAM VERSION\n", the version of this build.
std::string VersionText(const char* program);

// The programs, as bits of an option's `programs`.
enum Program : unsigned { kViewerProgram = 1u, kSnapshotProgram = 2u, kSceneProgram = 4u };

struct OptionSpec {
    const char* name;     // "--size"
    const char* value;    // what its value is called ("WxH"), or null when it takes none
    unsigned programs;    // the programs that take it
    const char* help;     // one sentence, for --help
};
// Every option of every program, in the order --help lists them.
const std::vector<OptionSpec>& OptionTable();
// The help lines of a program's options: "  --size WxH" and its sentence, wrapped.
std::string OptionHelp(Program program);

// The viewer's usage (--help), its options from the table.
std::string ViewerUsage();

// A command line read against the table.
struct CommandLine {
    enum Action { kRun, kHelp, kVersion, kBad } action = kRun;
    std::vector<std::pair<std::string, std::string>> options;  // in order; "" for an option without value
    std::vector<std::string> places;                           // the folders and files named
    std::string why;                                           // kBad: what is wrong

    // The value the option was last given, or null when it was not.
    const std::string* Value(const std::string& name) const;
    // How often the option was given.
    int Count(const std::string& name) const;
};

// program [options] [--] [PLACE...]. --help (or -h) and --version win over the rest. An option
// of the table that the program takes is read with its value (the next word, or the rest of the
// word after "=" in "--name=value"; an option without a value refuses "="); any other word
// starting with "-" (before "--") is an unknown option; an empty word is refused; every other
// word is a place. The first fault found is the one reported.
CommandLine ParseCommandLine(Program program, int argc, const char* const* argv);

// The most model files a viewer or snapshot opens at once.
inline constexpr int kMaxModelFiles = 3;

// What the viewer and the snapshot do with the places and the shared options.
struct ModelChoices {
    int width = 0, height = 0;  // --size; 0: the scene's own
    bool upGiven = false;       // --up
    LOAD_3DS::UpAxis up = LOAD_3DS::UpAxis::Y;
    std::string texture;        // --texture, or empty
    bool traced = false;        // --mode traced: start with the traced image
    bool noMarker = false;      // --no-marker: the preview without the light's marker
};
// The shared options' values; false with the reason, for the line before the usage. --up and
// --texture go with model files only, so a command line that names none (a folder, or nothing)
// is refused with them, as is one that names more than kMaxModelFiles places.
bool ReadModelChoices(const CommandLine& line, ModelChoices& choices, std::string* why);
// "WxH": two whole numbers from 1 to kMaxWindowSide.
inline constexpr int kMaxWindowSide = 16384;
bool ParseSize(const std::string& text, int& width, int& height);

}  // namespace WIN_NMS
