#include "loaders/provided_files.h"

#include <cstring>
#include <map>

namespace LOAD_3DS {

namespace {
std::map<std::string, std::vector<unsigned char>>& Provided() {
    static std::map<std::string, std::vector<unsigned char>> files;
    return files;
}
}  // namespace

void ProvideFile(const std::string& path, std::vector<unsigned char> bytes) { Provided()[path] = std::move(bytes); }

bool IsProvided(const std::string& path) { return Provided().count(path) != 0; }

std::FILE* OpenFile(const std::string& path, const char* mode) {
    const auto& files = Provided();
    const auto it = files.find(path);
    if (it == files.end() || std::strchr(mode, 'w') || std::strchr(mode, 'a') || it->second.empty())
        return std::fopen(path.c_str(), mode);
    // The stream only reads the bytes, which stay in the map for the life of the process.
    return fmemopen(const_cast<unsigned char*>(it->second.data()), it->second.size(), "rb");
}

}  // namespace LOAD_3DS
