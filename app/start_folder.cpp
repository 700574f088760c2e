#include "app/start_folder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "app/config.h"
#include "errors/errors.h"
#include "loaders/folder_paths.h"
#include "loaders/import.h"
#include "loaders/model_scene.h"
#include "loaders/provided_files.h"
#include "mesh/model_load.h"

// The installed data relative to the installed programs; the build sets it from the install
// layout (bin and share/redowl by default).
#ifndef REDOWL_DATA_FROM_BIN
#define REDOWL_DATA_FROM_BIN "../share/redowl"
#endif

namespace WIN_NMS {

namespace fs = std::filesystem;

bool IsModelFileArgument(const std::string& arg) {
    std::error_code ec;
    return fs::is_regular_file(arg, ec);
}

void OpenModelFile(const std::string& file, CONFIG::Lexer& config) {
    if (!ORVA_GRAPHICS::Is3DSFile(file) && !LOAD_3DS::IsImportFormat(file))
        throw TIRN_ERROR::File_Error(file + " is not a model file of a format the viewer reads (" +
                                     LOAD_3DS::ImportExtensions() + ";*.3ds)");
    LOAD_3DS::ModelMeasure measure;
    std::string error;
    if (!LOAD_3DS::MeasureModel(file, measure, &error, true)) throw TIRN_ERROR::File_Error(error);
    for (auto& [name, bytes] : LOAD_3DS::SurroundingFiles()) LOAD_3DS::ProvideFile(name, std::move(bytes));
    config.ReadText(LOAD_3DS::ModelSceneConfiguration(fs::path(file).filename().string(), measure));
    config.Set("scene.model0", file);
}

std::string InstalledDemoFolder() {
    std::error_code ec;
    const fs::path program = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    const fs::path demo = (program.parent_path() / REDOWL_DATA_FROM_BIN / "demo").lexically_normal();
    return fs::is_regular_file(demo / "release.cgf", ec) ? demo.string() : std::string();
}

std::string UserDemoFolder() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && data[0] == '/') return (fs::path(data) / "redowl" / "demo").string();
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/') {
        const passwd* user = ::getpwuid(::getuid());
        home = user ? user->pw_dir : nullptr;
    }
    if (!home || home[0] != '/') return {};
    return (fs::path(home) / ".local" / "share" / "redowl" / "demo").string();
}

void CompleteDemoCopy(const std::string& from, const std::string& to) {
    const auto fail = [&](const std::string& why) {
        throw TIRN_ERROR::File_Error("Can not write the demo scene into " + to + ": " + why);
    };
    std::error_code ec;
    fs::create_directories(to, ec);
    if (ec) fail(ec.message());
    for (fs::recursive_directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        const fs::path relative = fs::relative(it->path(), from, ec);
        if (ec) fail(ec.message());
        if (fs::exists(fs::path(to) / relative, ec)) continue;
        // A temporary file (mkstemp) in its folder, renamed into place: an interrupted copy
        // leaves no half file, and no link is followed out of the copy.
        std::string why;
        if (!LOAD_3DS::CopyFileInside(to, relative, it->path(), &why)) fail(why);
    }
    if (ec) fail(ec.message());
}

StartPlace OpenStartScene(const std::string& arg, CONFIG::Lexer& config, std::ofstream& errorLog) {
    if (!arg.empty() && IsModelFileArgument(arg)) {
        OpenModelFile(arg, config);
        return StartPlace::kModelFile;
    }
    StartPlace place = arg.empty() ? StartPlace::kCurrentFolder : StartPlace::kNamedFolder;
    std::string dir = arg;
    std::error_code ec;
    if (dir.empty() && !fs::exists("release.cgf", ec)) {
        const std::string installed = InstalledDemoFolder();
        if (!installed.empty()) {
            dir = UserDemoFolder();
            if (dir.empty()) throw TIRN_ERROR::File_Error("Can not find the home folder for the demo scene (HOME is not set)");
            CompleteDemoCopy(installed, dir);
            place = StartPlace::kUserDemo;
        }
    }
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) throw TIRN_ERROR::File_Error("Can not open folder " + dir);
    errorLog.open("Err.txt");
    config.ReadFile("release.cgf");
    return place;
}

}  // namespace WIN_NMS
