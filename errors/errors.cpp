#include "errors/errors.h"

#include <fstream>

#include "errors/message_box.h"

namespace TIRN_ERROR {

namespace {
const char* const kDefaultText = "RUN TIME ERROR!";
}

Error::Error() : std::runtime_error(kDefaultText) {}
Error::Error(std::string message) : std::runtime_error(message) { ShowErrorBox("Error: ", message); }
Error::~Error() = default;

File_Error::File_Error() : Error() {}
File_Error::File_Error(std::string message) : Error() { ShowErrorBox("File_Error: ", message); }
File_Error::~File_Error() = default;

// Each derived constructor runs the base's default constructor so that exactly one box,
// with the most derived caption, is shown per exception.
L3DS_Error::L3DS_Error(std::string message) : File_Error() { ShowErrorBox("L3DS_Error: ", message); }
L3DS_Error::~L3DS_Error() = default;

Image_File_Error::Image_File_Error(std::string message) : File_Error() {
    ShowErrorBox("Image_File_Error: ", message);
}
Image_File_Error::~Image_File_Error() = default;

std::string TooManyForMemory(const std::string& file, unsigned long long count, const std::string& what) {
    return file + " declares " + std::to_string(count) + " " + what + ", more than this machine can hold";
}

std::string NotEnoughMemoryFor(const std::string& file) {
    return file + " needs more memory than this machine can give to load it";
}

Zero_Division::Zero_Division(std::string message) : Error() { ShowErrorBox("Zero_Division: ", message); }
Zero_Division::~Zero_Division() = default;

}  // namespace TIRN_ERROR
