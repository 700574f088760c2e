#pragma once
// The viewer's command line, and the version line every program prints for --version.

#include <string>

namespace WIN_NMS {

// "PROGRAM VERSION\n", the version of this build.
std::string VersionText(const char* program);

// The viewer's usage (--help).
const char* ViewerUsage();

struct ViewerArguments {
    enum Action { kRun, kHelp, kVersion, kBad } action = kRun;
    std::string place;  // the folder or model file named (empty: none)
    std::string why;    // kBad: what is wrong, for the line before the usage
};

// redowl [--help | -h | --version] [--] [DIR | FILE]. --help and --version win over the rest;
// any other word starting with "-" (before "--") is an unknown option, and a second folder or
// file is refused too.
ViewerArguments ParseViewerArguments(int argc, const char* const* argv);

}  // namespace WIN_NMS
