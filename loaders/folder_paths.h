#pragma once
// Paths that model files name are data, not places to go: a texture, an MTL or a buffer is
// taken only from inside the model's own folder, and the scene writers write only inside the
// scene's folder, never through a symbolic link out of it.

#include <filesystem>
#include <string>
#include <vector>

namespace LOAD_3DS {

// A path as a model file names it ('/' or '\' separators), normalised ("a/./b/../c" is "a/c"),
// when it names something inside the model's folder; "" when it is empty, absolute (a leading
// separator, or a drive such as "C:"), or leaves the folder ("../x", "tex/../../x").
std::string PathInsideFolder(const std::string& reference);

// file (absolute, or relative to the current folder) relative to folder, both taken lexically;
// empty when file does not lie inside folder.
std::filesystem::path RelativeInside(const std::filesystem::path& folder, const std::filesystem::path& file);

// Writes bytes as the file root/relative: the folders below root are made as needed, none of
// them (nor the file) may be a symbolic link, and the file is written under a temporary name
// (mkstemp, in its folder) and renamed into place, so that a reader never sees half a file and
// a link of that name is replaced, not followed. relative must lie inside root (PathInsideFolder).
// root itself is the caller's: it is made when missing and may be a link. False with a
// one-line reason in *error.
bool WriteBytesInside(const std::filesystem::path& root, const std::filesystem::path& relative,
                      const std::vector<unsigned char>& bytes, std::string* error);
// The same with the bytes of the file source (which may be root/relative itself), opened as
// loaders/safe_open.h does: a regular file only, and with a sourceFolder, one that lies inside
// it (no link out of it followed). The copy is readable by no one the source is not readable by:
// its mode is the source's, masked to 0644.
bool CopyFileInside(const std::filesystem::path& root, const std::filesystem::path& relative,
                    const std::filesystem::path& source, std::string* error, const std::string& sourceFolder = {});

}  // namespace LOAD_3DS
