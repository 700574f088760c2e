#pragma once
// Files that a scene or a model names are opened once, as what they are: never through a
// symbolic link that leads out of the folder that bounds them, never waiting on a named pipe or
// a device, and only a regular file is read. The descriptor that was checked is the one that is
// read (no check of a name followed by an open of that name, which another process could swap
// in between).

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace LOAD_3DS {

// The folder that bounds a file named by path when its caller gives none: the current folder
// (the scene's, where the viewer runs) for a relative path that stays inside it lexically;
// "" (no bound) for an absolute path or one that climbs out with "..", which only the user
// gives on a command line.
std::string ImpliedFolder(const std::string& path);

// Opens path for reading and returns its descriptor (close-on-exec, blocking reads), or -1 with
// a one-line reason in *error ("PATH is a named pipe, not a file", "PATH leads out of FOLDER
// through a symbolic link", "PATH cannot be opened: No such file or directory", ...).
// With a folder, the file reached, every link resolved, must lie inside that folder; a link as
// the last part of path is resolved before anything is opened, so that no device or pipe
// outside the folder is even opened. Without one (""), links are followed. The open never
// blocks: a pipe, a device, a socket or a folder is refused after fstat on the descriptor.
int OpenRegularFile(const std::string& path, const std::string& folder, std::string* error);

// The same as a stdio stream ("rb"); nullptr with the reason in *error.
std::FILE* OpenRegularStream(const std::string& path, const std::string& folder, std::string* error);

// The whole file into bytes when it holds at most maxBytes; false with a reason in *error
// ("PATH is larger than N bytes" past the limit).
bool ReadRegularFile(const std::string& path, const std::string& folder, std::size_t maxBytes,
                     std::vector<unsigned char>& bytes, std::string* error);

}  // namespace LOAD_3DS
