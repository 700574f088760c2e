#include "app/config.h"

#include <ext/stdio_filebuf.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <utility>
#include <vector>

#include "errors/errors.h"
#include "loaders/safe_open.h"

namespace CONFIG {

namespace {
// Assignments to longer keys are not stored: no caller reads one (the longest key read is 39
// bytes), and without the limit a hostile file of n bytes could build keys of n bytes for each
// of its n / 4 assignments. With it, time and memory stay linear in the file size.
constexpr std::size_t kMaxKeyLength = 1024;
}  // namespace

void Lexer::ReadFile(const std::string& fileName) {
    // Opened once as the regular file it is: a folder, a named pipe or a device is as unreadable
    // as a missing file, and no link leads the read out of the scene's folder.
    const int fd = LOAD_3DS::OpenRegularFile(fileName, LOAD_3DS::ImpliedFolder(fileName), nullptr);
    if (fd < 0) throw TIRN_ERROR::File_Error("Can not open file " + fileName);
    __gnu_cxx::stdio_filebuf<char> file(fd, std::ios::in);  // closes the descriptor
    std::istream in(&file);
    Read(in);
}

void Lexer::ReadText(const std::string& text) {
    std::istringstream in(text);
    Read(in);
}

void Lexer::Set(const std::string& key, const std::string& value) { values_[key] = value; }

void Lexer::Read(std::istream& in) {
    std::vector<std::string> names;  // the name stack, alive for this read only
    std::size_t keyLength = 0;       // total length of the names on the stack
    auto push = [&](std::string name) {
        keyLength += name.size();
        names.push_back(std::move(name));
    };
    auto pop = [&] {
        if (names.empty()) return;  // popping an empty stack does nothing
        keyLength -= names.back().size();
        names.pop_back();
    };

    std::string word;
    while (in >> word) {
        if (word == "=") {
            // The value is the next word whatever it holds; "=" as the last word assigns nothing.
            std::string value;
            if (!(in >> value)) break;
            if (keyLength <= kMaxKeyLength) {
                std::string key;
                key.reserve(keyLength);
                for (const std::string& n : names) key += n;
                // With an empty stack the key is the empty text: stored there, read by no caller.
                values_[key] = value;
            }
            pop();
        } else if (word == "{") {
            push(".");
        } else if (word == "}") {
            pop();
            pop();
        } else if (word.find("//") != std::string::npos || word.find("require") != std::string::npos) {
            // Comment: the rest of the line, its line end included, is skipped.
            in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        } else {
            if (word.find('=') != std::string::npos && glued_.size() < kMaxGluedNames) glued_.push_back(word);
            push(word);
        }
    }
}

std::string Lexer::GetString(const std::string& key) { return values_[key]; }

int Lexer::GetInt(const std::string& key) { return std::atoi(values_[key].c_str()); }

float Lexer::GetFloat(const std::string& key) { return static_cast<float>(std::atof(values_[key].c_str())); }

}  // namespace CONFIG
