#include "loaders/obj_material_files.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "loaders/folder_paths.h"
#include "loaders/safe_open.h"

namespace LOAD_3DS {

namespace {

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && Blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && Blank(s.back())) s.remove_suffix(1);
    return s;
}

// Whether line starts with word followed by a blank or its end; rest is what follows.
bool StartsWithWord(std::string_view line, std::string_view word, std::string_view& rest) {
    if (line.substr(0, word.size()) != word) return false;
    if (line.size() > word.size() && !Blank(line[word.size()])) return false;
    rest = line.substr(word.size());
    return true;
}

}  // namespace

void ObjMaterialScanner::Line(std::string_view line) {
    line = Trimmed(line);
    std::string_view rest;
    if (StartsWithWord(line, "usemtl", rest)) {
        usesMaterials_ = true;
    } else if (StartsWithWord(line, "mtllib", rest)) {
        rest = Trimmed(rest);
        if (!rest.empty() && libraries_.size() < kMaxLibraries) libraries_.emplace_back(rest);
    }
}

void ObjMaterialScanner::Feed(std::string_view piece) {
    while (!piece.empty()) {
        const std::size_t end = piece.find('\n');
        const std::string_view part = piece.substr(0, end);
        // A line of interest is short: a longer one is only followed to its end.
        if (!overlong_) {
            if (pending_.size() + part.size() > kMaxLine) {
                overlong_ = true;
                pending_.clear();
            } else {
                pending_.append(part);
            }
        }
        if (end == std::string_view::npos) return;
        if (!overlong_) Line(pending_);
        pending_.clear();
        overlong_ = false;
        piece.remove_prefix(end + 1);
    }
}

void ObjMaterialScanner::Finish() {
    if (!overlong_ && !pending_.empty()) Line(pending_);
    pending_.clear();
    overlong_ = false;
}

std::vector<std::string> MaterialFileNotes(const std::string& objFile) {
    namespace fs = std::filesystem;
    std::vector<std::string> notes;
    std::string extension = fs::path(objFile).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension != ".obj") return notes;
    // Opened as every model file is: a regular file, no link out of its folder.
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(OpenRegularStream(objFile, ImpliedFolder(objFile), nullptr),
                                                       &std::fclose);
    if (!in) return notes;
    ObjMaterialScanner scanner;
    std::vector<char> buffer(1 << 20);
    for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), in.get())) > 0;)
        scanner.Feed(std::string_view(buffer.data(), n));
    scanner.Finish();
    // As the import helper opens them: inside the model's folder, the name exactly as written.
    const fs::path folder = fs::path(objFile).parent_path();
    const auto there = [&folder](std::string_view name) {
        const std::string inside = PathInsideFolder(std::string(name));
        std::error_code ec;
        return !inside.empty() && fs::is_regular_file(folder / inside, ec);
    };
    const auto missing = [&notes](std::string_view name) {
        notes.push_back("material file " + std::string(name) + " not found; its materials are not used");
    };
    for (const std::string& library : scanner.Libraries()) {
        if (there(library)) continue;
        // One name with blanks that is no file: the names of several files.
        for (std::size_t at = 0; at < library.size();) {
            const std::size_t end = std::min(library.find_first_of(" \t", at), library.size());
            const std::string_view word = std::string_view(library).substr(at, end - at);
            if (!word.empty() && !there(word)) missing(word);
            at = end + 1;
        }
    }
    if (scanner.UsesMaterials() && scanner.Libraries().empty())
        notes.push_back("materials named (usemtl) without a material file (mtllib); they are not used");
    return notes;
}

}  // namespace LOAD_3DS
