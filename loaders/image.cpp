#include "loaders/image.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <vector>

#include "loaders/folder_paths.h"
#include "loaders/image_decode.h"
#include "loaders/provided_files.h"
#include "loaders/safe_open.h"
#include "loaders/texture.h"

namespace LOAD_3DS {

namespace {

namespace fs = std::filesystem;

bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

// Image files larger than this are not read (no texture needs it; a path into /proc could
// claim terabytes).
constexpr long kMaxImageFileBytes = 1L << 29;

bool ReadWhole(const std::string& path, const std::string& folder, std::vector<unsigned char>& bytes, std::string* error) {
    if (const std::vector<unsigned char>* provided = ProvidedBytes(path); provided && !provided->empty()) {
        if (provided->size() > std::size_t(kMaxImageFileBytes)) return Fail(error, path + " cannot be read");
        bytes = *provided;
        return true;
    }
    std::string why;
    if (ReadRegularFile(path, folder, std::size_t(kMaxImageFileBytes), bytes, &why)) return true;
    // A file that is simply missing keeps the short reason; a refused one says why.
    return Fail(error, why.find(": No such file") != std::string::npos ? path + " cannot be read" : why);
}

std::string Lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The entry of folder whose name equals name with letter case ignored ("" when none; the
// exact name first when several differ only in case).
std::string MatchIgnoringCase(const fs::path& folder, const std::string& name) {
    std::error_code ec;
    if (fs::exists(folder / name, ec)) return name;
    const std::string want = Lower(name);
    std::string found;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string have = it->path().filename().string();
        if (Lower(have) == want && (found.empty() || have < found)) found = have;
    }
    return found;
}

// folder / parts, each part matched with letter case ignored; "" when a part is missing.
std::string Resolve(const fs::path& folder, const std::vector<std::string>& parts) {
    std::error_code ec;
    fs::path at = folder;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        if (part.empty() || part == ".") continue;
        if (part == "..") return {};  // never above the folder
        const std::string name = MatchIgnoringCase(at, part);
        if (name.empty()) return {};
        at /= name;
    }
    return fs::is_regular_file(at, ec) ? at.string() : std::string();
}

}  // namespace

bool LoadImageMemory(const unsigned char* data, std::size_t size, const std::string& name, TEXTURE& texture,
                     std::string* error) {
    DecodedImage image;
    if (!DecodeImage(data, size, name, image, error)) return false;
    ToTexture(image, name, texture);
    return true;
}

bool ReadImageBytes(const std::string& path, std::vector<unsigned char>& bytes, std::string* error) {
    return ReadWhole(path, ImpliedFolder(path), bytes, error);
}

bool ReadImageBytesInside(const std::string& folder, const std::string& path, std::vector<unsigned char>& bytes,
                          std::string* error) {
    return ReadWhole(path, folder.empty() ? std::string(".") : folder, bytes, error);
}

bool LoadImageFile(const std::string& path, TEXTURE& texture, std::string* error) {
    std::vector<unsigned char> bytes;
    return ReadImageBytes(path, bytes, error) && LoadImageMemory(bytes.data(), bytes.size(), path, texture, error);
}

std::string FindTextureFile(const std::string& modelFolder, const std::string& reference) {
    std::string ref = reference;
    std::replace(ref.begin(), ref.end(), '\\', '/');
    while (!ref.empty() && (ref.back() == '/' || std::isspace(static_cast<unsigned char>(ref.back())))) ref.pop_back();
    if (ref.empty()) return {};
    const fs::path folder = modelFolder.empty() ? fs::path(".") : fs::path(modelFolder);
    // 1. Relative to the model's folder, normalised; never a path that is absolute or leaves it.
    if (const std::string inside = PathInsideFolder(ref); !inside.empty()) {
        std::vector<std::string> parts;
        for (const fs::path& part : fs::path(inside)) parts.push_back(part.string());
        if (std::string found = Resolve(folder, parts); !found.empty()) return found;
    }
    // 2. The file name alone, in the model's folder.
    const std::string name = ref.substr(ref.find_last_of('/') + 1);
    if (name == "." || name == "..") return {};
    if (std::string found = Resolve(folder, {name}); !found.empty()) return found;
    // 3. A file the process holds in memory inside the model's folder (the surroundings of a
    // model opened directly), by the reference normalised.
    const std::string inside = PathInsideFolder(ref);
    const std::string provided = inside.empty() ? std::string() : (folder / inside).string();
    return !provided.empty() && IsProvided(provided) ? provided : std::string();
}

}  // namespace LOAD_3DS
