#include "app/start_folder.h"

#include <unistd.h>

#include <filesystem>

#include "app/config.h"
#include "errors/errors.h"
#include "loaders/import.h"
#include "loaders/model_scene.h"
#include "loaders/provided_files.h"
#include "mesh/model_load.h"

namespace WIN_NMS {

const char* ViewerUsage() {
    return "usage: redowl              opens the scene of release.cgf in the current folder\n"
           "       redowl DIR          opens the scene of DIR/release.cgf, run as if started in DIR\n"
           "       redowl FILE         opens the model FILE (3DS, OBJ, PLY, STL, glTF, GLB, FBX, Collada,\n"
           "                           DirectX .x, ASE, LightWave, Blender, ...) on a floor under a sky,\n"
           "                           in its own materials, without writing anything\n"
           "       redowl --help       this text\n"
           "A scene folder around a model: redowl-demo-scene --model FILE DIR (or scripts/run FILE).\n"
           "Pictures without a window: redowl-snapshot [options] [DIR | FILE].\n";
}

bool IsModelFileArgument(const std::string& arg) {
    std::error_code ec;
    return std::filesystem::is_regular_file(arg, ec);
}

void OpenModelFile(const std::string& file, CONFIG::Lexer& config) {
    if (!ORVA_GRAPHICS::Is3DSFile(file) && !LOAD_3DS::IsImportFormat(file))
        throw TIRN_ERROR::File_Error(file + " is not a model file of a format the viewer reads (" +
                                     LOAD_3DS::ImportExtensions() + ";*.3ds)");
    LOAD_3DS::ModelMeasure measure;
    std::string error;
    if (!LOAD_3DS::MeasureModel(file, measure, &error, true)) throw TIRN_ERROR::File_Error(error);
    for (auto& [name, bytes] : LOAD_3DS::SurroundingFiles()) LOAD_3DS::ProvideFile(name, std::move(bytes));
    config.ReadText(LOAD_3DS::ModelSceneConfiguration(std::filesystem::path(file).filename().string(), measure));
    config.Set("scene.model0", file);
}

void EnterStartFolder(const std::string& dir, std::ofstream& errorLog) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path before = fs::current_path(ec);
    if (::chdir(dir.c_str()) != 0) throw TIRN_ERROR::File_Error("Can not open folder " + dir);
    const fs::path after = fs::current_path(ec);
    if (!before.empty() && !fs::equivalent(before, after, ec)) {
        const fs::path left = before / "Err.txt";
        if (fs::is_regular_file(left, ec) && fs::file_size(left, ec) == 0) fs::remove(left, ec);
    }
    errorLog.close();
    errorLog.open("Err.txt");
}

}  // namespace WIN_NMS
