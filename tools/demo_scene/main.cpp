// redowl-demo-scene DIR: writes the demo scene (release.cgf, data/*.bmp, data/*.3ds) into DIR.
// redowl-demo-scene --model FILE [--up AXIS] [--keep-configuration] DIR: writes a scene around the
// model FILE (of any format the viewer reads) instead, its up axis turned up; --keep-configuration
// leaves an existing DIR/release.cgf as it is.
#include <cstdio>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "loaders/demo_scene.h"
#include "loaders/model_scene.h"

namespace {

std::string Usage() {
    return "usage: redowl-demo-scene DIR                  writes the demo scene into DIR\n"
           "       redowl-demo-scene --model FILE [--up AXIS] [--keep-configuration] DIR\n"
           "                                              writes a scene around the model FILE (3DS, OBJ,\n"
           "                                              PLY, STL, glTF, GLB, FBX, Collada, ...) into DIR,\n"
           "                                              with a copy of the model and the files it needs\n"
           "       redowl-demo-scene --help | --version\n"
           "Options:\n" +
           WIN_NMS::OptionHelp(WIN_NMS::kSceneProgram) + "Then open the scene with: redowl DIR\n";
}

int Refuse(const std::string& why) {
    std::fprintf(stderr, "redowl-demo-scene: %s\n%s", why.c_str(), Usage().c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const WIN_NMS::CommandLine line = WIN_NMS::ParseCommandLine(WIN_NMS::kSceneProgram, argc, argv);
    if (line.action == WIN_NMS::CommandLine::kHelp) return std::fputs(Usage().c_str(), stdout), 0;
    if (line.action == WIN_NMS::CommandLine::kVersion)
        return std::fputs(WIN_NMS::VersionText("redowl-demo-scene").c_str(), stdout), 0;
    if (line.action == WIN_NMS::CommandLine::kBad) return Refuse(line.why);
    if (line.places.empty()) return Refuse("no folder to write into");
    if (line.places.size() > 1) return Refuse("a second folder " + line.places[1]);
    if (line.Count("--model") > 1) return Refuse("a second --model");
    const std::string* model = line.Value("--model");
    const bool keep = line.Count("--keep-configuration") > 0;
    if (keep && !model) return Refuse("--keep-configuration needs --model");
    LOAD_3DS::UpAxis up = LOAD_3DS::UpAxis::Y;
    const std::string* upText = line.Value("--up");
    if (upText && !LOAD_3DS::ParseUpAxis(*upText, up)) return Refuse("--up is x, y, z, -x, -y or -z, not " + *upText);
    if (upText && !model) return Refuse("--up needs --model");
    const std::string& dir = line.places[0];
    std::string error;
    std::vector<std::string> notes;
    const bool ok = model ? LOAD_3DS::WriteModelScene(*model, dir, keep, &error, upText ? &up : nullptr, &notes)
                          : LOAD_3DS::WriteDemoScene(dir, &error);
    for (const std::string& note : notes) std::fprintf(stderr, "redowl-demo-scene: %s\n", note.c_str());
    if (!ok) {
        std::fprintf(stderr, "redowl-demo-scene: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
