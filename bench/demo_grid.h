#pragma once
// The grid settings of the demo's release.cgf (its algorithm and its cub_less_elem_times, a
// number or auto), so that the benchmarks build the grids the viewer builds for the demo.
#include <cstdlib>
#include <string>

#include "grid/regular_grid.h"
#include "loaders/demo_scene.h"

namespace redowl_bench {

// The word after "key =" in the demo's configuration, or empty.
inline std::string DemoValue(const std::string& key) {
    const std::string text = LOAD_3DS::DemoConfiguration();
    std::size_t at = text.find(key + " = ");
    if (at == std::string::npos) return {};
    at += key.size() + 3;
    return text.substr(at, text.find_first_of(" \n", at) - at);
}

inline RAYTR::GridBuildSettings DemoGridSettings() {
    RAYTR::GridBuildSettings settings;
    settings.algorithm = DemoValue("algoritm_type") == "fast_algorithm" ? RAYTR::kFastAlgorithm : RAYTR::kAccuracyAlgorithm;
    const std::string factor = DemoValue("cub_less_elem_times");
    settings.autoFactor = factor == "auto";
    settings.factor = static_cast<float>(std::atof(factor.c_str()));
    return settings;
}

}  // namespace redowl_bench
