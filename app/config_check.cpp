#include "app/config_check.h"

#include <algorithm>

#include "app/config.h"
#include "app/model_keys.h"
#include "app/win_main.h"

namespace CONFIG {

const std::vector<std::string>& KnownKeys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> k{"win.width",
                                   "win.height",
                                   "tracer.regular_grid.algoritm_type",
                                   "tracer.regular_grid.cub_less_elem_times",
                                   "scene.N_models",
                                   "scene.camera",
                                   "scene.frame_models",
                                   "tracer.threads_num",
                                   "tracer.use_zbuffer_values",
                                   "scene.light_radius",
                                   "scene.sky_light",
                                   "tracer.sky",
                                   "tracer.max_samples",
                                   "tracer.frame_budget_ms",
                                   "tracer.smooth",
                                   "scene.preview_light",
                                   "tracer.shadows",
                                   "tracer.denoise",
                                   "tracer.adaptive"};
        for (int i = 0; i < WIN_NMS::kModelTableSize; ++i)
            for (const std::string& suffix : WIN_NMS::ModelKeySuffixes())
                k.push_back("scene.model" + std::to_string(i) + suffix);
        return k;
    }();
    return keys;
}

namespace {
std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}
}  // namespace

std::string NearestKnownKey(const std::string& key) {
    const std::vector<std::string>& keys = KnownKeys();
    std::string best = keys.front();
    std::size_t bestDistance = EditDistance(key, best);
    for (const std::string& k : keys) {
        const std::size_t d = EditDistance(key, k);
        if (d < bestDistance) {
            best = k;
            bestDistance = d;
        }
    }
    return best;
}

std::vector<std::string> ConfigurationWarnings(const Lexer& lexer, const std::string& fileName) {
    std::vector<std::string> lines;
    const std::vector<std::string>& known = KnownKeys();
    std::size_t unknown = 0;
    for (const auto& [key, value] : lexer.Entries()) {
        if (std::find(known.begin(), known.end(), key) != known.end()) continue;
        // A file of many stray words would otherwise flood the terminal (and each nearest key
        // costs a comparison with every known key).
        if (++unknown > kMaxUnknownKeysNamed) continue;
        if (key.empty())
            lines.push_back(fileName + ": the value " + value + " has no name before its \"=\"");
        else
            lines.push_back(fileName + ": unknown key " + key + " (did you mean " + NearestKnownKey(key) + "?)");
    }
    if (unknown > kMaxUnknownKeysNamed)
        lines.push_back(fileName + ": and " + std::to_string(unknown - kMaxUnknownKeysNamed) + " more unknown keys");
    for (const std::string& word : lexer.GluedNames()) {
        // "name=value" is one word: show it with the blanks the reader needs.
        const std::size_t at = word.find('=');
        std::string fixed = word.substr(0, at);
        if (!fixed.empty()) fixed += ' ';
        fixed += '=';
        if (at + 1 < word.size()) fixed += ' ' + word.substr(at + 1);
        lines.push_back(fileName + ": " + word + " is one word and assigns nothing (did you mean " + fixed +
                        "? \"=\" needs a blank on each side)");
    }
    return lines;
}

void ReportConfigurationWarnings(const Lexer& lexer, const std::string& fileName, std::FILE* out) {
    for (const std::string& line : ConfigurationWarnings(lexer, fileName)) std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
}

}  // namespace CONFIG
