#include "app/start_folder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "app/config.h"
#include "errors/errors.h"
#include "loaders/folder_paths.h"
#include "loaders/import.h"
#include "loaders/model_scene.h"
#include "loaders/provided_files.h"
#include "loaders/safe_open.h"
#include "mesh/model_load.h"

// The installed data relative to the installed programs; the build sets it from the install
// layout (bin and share/redowl by default).
#ifndef REDOWL_DATA_FROM_BIN
#define REDOWL_DATA_FROM_BIN "../share/redowl"
#endif

namespace WIN_NMS {

namespace fs = std::filesystem;

namespace {
// Whether path opens, without waiting, as a regular file (the user named it: links followed).
bool IsRegularFile(const std::string& path, std::string* why) {
    const int fd = LOAD_3DS::OpenRegularFile(path, {}, why);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
}
}  // namespace

void OpenModelFiles(const std::vector<std::string>& files, const ModelChoices& choices, CONFIG::Lexer& config) {
    std::error_code ec;
    if (!choices.texture.empty() && !IsRegularFile(choices.texture, nullptr))
        throw TIRN_ERROR::File_Error("Can not open file " + choices.texture);
    std::vector<LOAD_3DS::SceneModel> models;
    for (const std::string& file : files) {
        if (!fs::exists(file, ec)) throw TIRN_ERROR::File_Error("Can not open file " + file);
        std::string why;
        if (!IsRegularFile(file, &why)) throw TIRN_ERROR::File_Error(why);
        if (!ORVA_GRAPHICS::Is3DSFile(file) && !LOAD_3DS::IsImportFormat(file))
            throw TIRN_ERROR::File_Error(file + " is not a model file of a format the viewer reads (" +
                                         LOAD_3DS::ImportExtensions() + ";*.3ds)");
        LOAD_3DS::SceneModel model;
        std::string error;
        // The last model read is kept for the load that follows (the first ones are read again).
        if (!LOAD_3DS::MeasureModel(file, model.measure, &error, &file == &files.back())) throw TIRN_ERROR::File_Error(error);
        model.file = fs::path(file).filename().string();
        model.upGiven = choices.upGiven;
        model.up = choices.up;
        // A texture for the models that name none of their own.
        if (!choices.texture.empty() && !model.measure.namesTexture) model.texture = choices.texture;
        else if (!choices.texture.empty())
            std::fprintf(stderr, "%s names textures of its own: %s is not laid over it\n", file.c_str(),
                         choices.texture.c_str());
        models.push_back(std::move(model));
    }
    for (auto& [name, bytes] : LOAD_3DS::SurroundingFiles()) LOAD_3DS::ProvideFile(name, std::move(bytes));
    config.ReadText(LOAD_3DS::ModelSceneConfiguration(models));
    // The model keys name the files where they lie (the text names them by their names alone).
    for (std::size_t k = 0; k < files.size(); ++k)
        config.Set("scene.model" + std::to_string(LOAD_3DS::SceneSlot(int(k))), files[k]);
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

namespace {

StartPlace OpenPlace(const std::vector<std::string>& places, const ModelChoices& choices, CONFIG::Lexer& config,
                     std::ofstream& errorLog) {
    std::error_code ec;
    const std::string arg = places.empty() ? std::string() : places[0];
    if (places.size() > 1 || (!arg.empty() && !fs::is_directory(arg, ec))) {
        OpenModelFiles(places, choices, config);
        return StartPlace::kModelFile;
    }
    StartPlace place = arg.empty() ? StartPlace::kCurrentFolder : StartPlace::kNamedFolder;
    std::string dir = arg;
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
    // A folder without a scene is named, so that the user sees where the viewer looked.
    if (!fs::exists("release.cgf", ec)) {
        const fs::path here = fs::current_path(ec);
        throw TIRN_ERROR::File_Error("Can not open file release.cgf in " + (ec ? (dir.empty() ? std::string(".") : dir) : here.string()));
    }
    config.ReadFile("release.cgf");
    return place;
}

}  // namespace

StartPlace OpenStartScene(const std::vector<std::string>& places, const ModelChoices& choices, CONFIG::Lexer& config,
                          std::ofstream& errorLog) {
    const StartPlace place = OpenPlace(places, choices, config, errorLog);
    if (choices.width > 0 && choices.height > 0) {
        config.Set("win.width", std::to_string(choices.width));
        config.Set("win.height", std::to_string(choices.height));
    }
    return place;
}

}  // namespace WIN_NMS
