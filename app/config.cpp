#include "app/config.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <vector>

#include "errors/errors.h"

namespace CONFIG {

void Lexer::ReadFile(const std::string& fileName) {
    std::ifstream in;
    // A directory opens for reading on this platform but yields nothing; it is as unreadable
    // as a missing file.
    std::error_code ec;
    if (!std::filesystem::is_directory(fileName, ec)) in.open(fileName);
    if (!in.is_open()) throw TIRN_ERROR::File_Error("Can not open file " + fileName);

    std::vector<std::string> names;  // the name stack, alive for this read only
    auto pop = [&names] {
        if (!names.empty()) names.pop_back();  // popping an empty stack does nothing
    };

    std::string word;
    while (in >> word) {
        if (word == "=") {
            // The value is the next word whatever it holds; "=" as the last word assigns nothing.
            std::string value;
            if (!(in >> value)) break;
            std::string key;
            for (const std::string& n : names) key += n;
            // With an empty stack the key is the empty text: stored there, read by no caller.
            values_[key] = value;
            pop();
        } else if (word == "{") {
            names.emplace_back(".");
        } else if (word == "}") {
            pop();
            pop();
        } else if (word.find("//") != std::string::npos || word.find("require") != std::string::npos) {
            // Comment: the rest of the line, its line end included, is skipped.
            in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        } else {
            names.push_back(word);
        }
    }
}

std::string Lexer::GetString(const std::string& key) { return values_[key]; }

int Lexer::GetInt(const std::string& key) { return std::atoi(values_[key].c_str()); }

float Lexer::GetFloat(const std::string& key) { return static_cast<float>(std::atof(values_[key].c_str())); }

}  // namespace CONFIG
