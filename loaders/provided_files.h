#pragma once
// Files the process holds in memory and the readers open as if they lay on disk: the
// surroundings of a model file opened directly (floor, sky and their textures), which the
// viewer then needs to write nowhere. A provided path is matched exactly as the configuration
// names it and takes precedence over a file of that name.

#include <cstdio>
#include <string>
#include <vector>

namespace LOAD_3DS {

// Provides bytes under path (replacing earlier bytes of that path). Not for use while another
// thread opens files.
void ProvideFile(const std::string& path, std::vector<unsigned char> bytes);

// Whether bytes are provided under exactly this path.
bool IsProvided(const std::string& path);

// The bytes provided under exactly this path, or nullptr.
const std::vector<unsigned char>* ProvidedBytes(const std::string& path);

// A read-only stream over the provided bytes of path, or for reading ("rb") the file path
// opened as loaders/safe_open.h does, bounded by ImpliedFolder(path); fopen for writing.
std::FILE* OpenFile(const std::string& path, const char* mode);

}  // namespace LOAD_3DS
