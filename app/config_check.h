#pragma once
// Names the configuration mistakes that the reader itself passes over in silence: keys that
// nothing reads (with the nearest key that is read) and names with "=" glued to them.

#include <cstdio>
#include <string>
#include <vector>

namespace CONFIG {

class Lexer;

// Every key the system reads: the nine fixed keys and the per-model keys of models 0 to 4.
const std::vector<std::string>& KnownKeys();

// The known key with the fewest single-character edits (insert, delete, replace) from key; the
// first in KnownKeys order among equals.
std::string NearestKnownKey(const std::string& key);

// Unknown keys named one by one; the rest are counted.
inline constexpr std::size_t kMaxUnknownKeysNamed = 20;

// One line per mistake, in map order then file order, each starting with fileName, e.g.
// "release.cgf: unknown key scene.N_modles (did you mean scene.N_models?)".
std::vector<std::string> ConfigurationWarnings(const Lexer& lexer, const std::string& fileName);

// Writes the warnings to out, one per line.
void ReportConfigurationWarnings(const Lexer& lexer, const std::string& fileName, std::FILE* out);

}  // namespace CONFIG
