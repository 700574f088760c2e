#pragma once
// Files for assimp: the model and what lies inside its folder, opened for reading as
// loaders/safe_open.h opens them (once, without blocking, a regular file only, every link
// resolved and kept inside the folder) and read through that descriptor. Every other path a file
// names (an MTL's "../../x", a glTF buffer's "/etc/passwd", a link out of the folder) is not there.

#include <assimp/DefaultIOSystem.h>

#include <filesystem>
#include <string>
#include <vector>

namespace redowl_import {

class FolderIO : public Assimp::DefaultIOSystem {
public:
    // modelFd: the model, opened before the helper confined itself (the user named it, so a
    // link to it is followed); FolderIO reads it through its own duplicates. The files opened
    // are added to opened.
    FolderIO(const std::filesystem::path& model, int modelFd, std::vector<std::string>& opened);

    bool Exists(const char* file) const override;
    Assimp::IOStream* Open(const char* file, const char* mode) override;

private:
    bool IsModel(const char* file) const;
    bool Allowed(const char* file) const;
    std::filesystem::path model_, folder_;
    int modelFd_;
    std::vector<std::string>& opened_;
};

}  // namespace redowl_import
