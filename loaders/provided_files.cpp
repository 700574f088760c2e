#include "loaders/provided_files.h"

#include <cstring>
#include <map>

#include "loaders/safe_open.h"

namespace LOAD_3DS {

namespace {
std::map<std::string, std::vector<unsigned char>>& Provided() {
    static std::map<std::string, std::vector<unsigned char>> files;
    return files;
}
}  // namespace

void ProvideFile(const std::string& path, std::vector<unsigned char> bytes) { Provided()[path] = std::move(bytes); }

bool IsProvided(const std::string& path) { return Provided().count(path) != 0; }

const std::vector<unsigned char>* ProvidedBytes(const std::string& path) {
    const auto& files = Provided();
    const auto it = files.find(path);
    return it == files.end() ? nullptr : &it->second;
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
    const bool writes = std::strchr(mode, 'w') || std::strchr(mode, 'a') || std::strchr(mode, '+');
    if (writes) return std::fopen(path.c_str(), mode);
    const auto& files = Provided();
    const auto it = files.find(path);
    if (it == files.end() || it->second.empty()) return OpenRegularStream(path, ImpliedFolder(path), nullptr);
    // The stream only reads the bytes, which stay in the map for the life of the process.
    return fmemopen(const_cast<unsigned char*>(it->second.data()), it->second.size(), "rb");
}

}  // namespace LOAD_3DS
