#pragma once
// The configuration reader: turns "release.cgf" into a flat map from dotted key names to value
// texts. There is no schema and no defaulting; an absent key reads as empty text, 0 or 0.0.
//
// File syntax: white-space separated words. "=" assigns the next word (taken verbatim) to the
// concatenation of the name stack and pops one name; "{" pushes "."; "}" pops twice; a word
// containing "//" or "require" skips the rest of its line; any other word is pushed as a name.
// So `win.width = 800` and `win { width = 800 }` both set "win.width".

#include <iosfwd>
#include <map>
#include <string>
#include <vector>

namespace CONFIG {

class Lexer {
public:
    Lexer() = default;
    // Not virtual: the one reader has static storage and is never deleted through a base.
    ~Lexer() = default;
    Lexer(const Lexer&) = default;
    Lexer& operator=(const Lexer&) = default;

    // Reads the file and stores every assignment; a later assignment to a key replaces the
    // earlier value. Throws TIRN_ERROR::File_Error ("Can not open file " + name) when the file
    // cannot be opened; the map then stays as it was. An assignment to a key longer than
    // 1024 bytes is not stored, so a hostile file cannot make the map grow with the square of
    // its size.
    virtual void ReadFile(const std::string& fileName);
    // The same on a configuration text in memory (a scene made for a model file opened
    // directly); never fails.
    void ReadText(const std::string& text);
    // Sets a key to a value as it stands (a value with blanks, which the file syntax cannot
    // hold, such as the path of a model file opened directly).
    void Set(const std::string& key, const std::string& value);

    // The value of key; an absent key is inserted with an empty value.
    std::string GetString(const std::string& key);
    // atoi of the value (0 for empty or non-numeric text).
    int GetInt(const std::string& key);
    // atof of the value, narrowed to float (0.0 for empty or non-numeric text).
    float GetFloat(const std::string& key);

    // Read-only view of the map, for inspection.
    const std::map<std::string, std::string>& Entries() const { return values_; }

    // Name words that hold "=" (such as `width=800`, which assigns nothing), in file order; at
    // most kMaxGluedNames are kept. Only for telling the user; the map does not depend on them.
    static constexpr std::size_t kMaxGluedNames = 16;
    const std::vector<std::string>& GluedNames() const { return glued_; }

private:
    void Read(std::istream& in);

    std::map<std::string, std::string> values_;
    std::vector<std::string> glued_;
};

}  // namespace CONFIG
