#include "loaders/image.h"

#include <stb/stb_image.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <vector>

#include "loaders/folder_paths.h"
#include "loaders/texture.h"

namespace LOAD_3DS {

namespace {

namespace fs = std::filesystem;

bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

struct StbFree {
    void operator()(unsigned char* p) const { stbi_image_free(p); }
};

// Image files larger than this are not read (no texture needs it; a path into /proc could
// claim terabytes).
constexpr long kMaxImageFileBytes = 1L << 29;

bool ReadWhole(const std::string& path, std::vector<unsigned char>& bytes) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f) return false;
    if (std::fseek(f.get(), 0, SEEK_END) != 0) return false;
    const long size = std::ftell(f.get());
    if (size < 0 || size > kMaxImageFileBytes || std::fseek(f.get(), 0, SEEK_SET) != 0) return false;
    bytes.resize(std::size_t(size));
    return size == 0 || std::fread(bytes.data(), bytes.size(), 1, f.get()) == 1;
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
    if (data == nullptr || size == 0) return Fail(error, name + " is empty");
    if (size > std::size_t(std::numeric_limits<int>::max())) return Fail(error, name + " is too large");
    int w = 0, h = 0, channels = 0;
    if (!stbi_info_from_memory(data, int(size), &w, &h, &channels))
        return Fail(error, name + " is not an image that can be read (" + stbi_failure_reason() + ")");
    if (w <= 0 || h <= 0 || w > kMaxImageSide || h > kMaxImageSide || (long long)w * h > kMaxImagePixels)
        return Fail(error, name + " is " + std::to_string(w) + " x " + std::to_string(h) + " pixels, too large");
    std::unique_ptr<unsigned char, StbFree> rgb(stbi_load_from_memory(data, int(size), &w, &h, &channels, 3));
    if (!rgb) return Fail(error, name + " could not be decoded (" + stbi_failure_reason() + ")");
    if (w <= 0 || h <= 0 || w > kMaxImageSide || h > kMaxImageSide || (long long)w * h > kMaxImagePixels)
        return Fail(error, name + " is too large");
    // stb_image gives the top row first; the records keep the bottom row first, as OpenGL wants.
    const std::size_t row = std::size_t(w) * 3;
    auto* pixels = new unsigned char[row * std::size_t(h)];
    for (int y = 0; y < h; ++y) std::memcpy(pixels + std::size_t(h - 1 - y) * row, rgb.get() + std::size_t(y) * row, row);
    delete[] texture.pixels;
    texture.pixels = pixels;
    texture.width = w;
    texture.height = h;
    texture.fileName = name;
    return true;
}

bool LoadImageFile(const std::string& path, TEXTURE& texture, std::string* error) {
    std::vector<unsigned char> bytes;
    if (!ReadWhole(path, bytes)) return Fail(error, path + " cannot be read");
    return LoadImageMemory(bytes.data(), bytes.size(), path, texture, error);
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
    return Resolve(folder, {name});
}

}  // namespace LOAD_3DS
