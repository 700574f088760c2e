#include "app/model_keys.h"

#include <cmath>
#include <cstdlib>

#include "app/config.h"
#include "errors/errors.h"
#include "errors/message_box.h"
#include "loaders/crease.h"

namespace WIN_NMS {

namespace {

std::string Key(int i, const char* suffix) { return "scene.model" + std::to_string(i) + suffix; }

[[noreturn]] void Refuse(const std::string& key, const std::string& value, const std::string& accepted) {
    throw TIRN_ERROR::Error(key + " is " + TIRN_ERROR::ShortenText(value, TIRN_ERROR::kMaxQuotedValue) + ", but it must be " + accepted);
}

// Sizes and places in scene units are at most this large in magnitude: far beyond anything
// the camera (15 units from the origin) shows, and small enough that a model's box, scaled and
// moved, stays finite in 32-bit floats with room for the grid's arithmetic.
constexpr double kMaxSceneUnits = 1e6;
const std::string kUnitsRange = "from -1000000 to 1000000";

// One finite number within kMaxSceneUnits, nothing else.
bool ParseNumber(const std::string& text, float& out) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(std::abs(v) <= kMaxSceneUnits)) return false;
    out = static_cast<float>(v);
    return true;
}

// "x,y,z": three numbers within kMaxSceneUnits separated by commas, nothing else.
bool ParseTriple(const std::string& text, float out[3]) {
    const char* p = text.c_str();
    for (int k = 0; k < 3; ++k) {
        char* end = nullptr;
        const double v = std::strtod(p, &end);
        if (end == p || !(std::abs(v) <= kMaxSceneUnits)) return false;
        out[k] = static_cast<float>(v);
        p = end;
        if (k < 2) {
            if (*p != ',') return false;
            ++p;
        }
    }
    return *p == '\0';
}

}  // namespace

float FixedDrop(int i) { return i == 0 ? -1.65f : i == 2 ? -5.0f : 0.0f; }

const std::vector<std::string>& ModelKeySuffixes() {
    static const std::vector<std::string> suffixes{"",          "_do_trace", "_fit",     "_up",
                                                   "_offset",   "_meshes",   "_smoothing", "_texture",
                                                   "_materials", "_floor",  "_crease",   "_sides"};
    return suffixes;
}

ORVA_GRAPHICS::ModelOptions ReadModelOptions(CONFIG::Lexer& config, int i) {
    using namespace ORVA_GRAPHICS;
    ModelOptions o;
    // The lookups of absent keys would insert empty entries; only present keys are read.
    const auto& entries = config.Entries();
    auto value = [&](const char* suffix, std::string& key) -> const std::string* {
        key = Key(i, suffix);
        const auto it = entries.find(key);
        return it == entries.end() || it->second.empty() ? nullptr : &it->second;
    };
    std::string key;
    if (const std::string* v = value("_fit", key)) {
        if (!ParseNumber(*v, o.fit) || o.fit < 0.0f) Refuse(key, *v, "a size in units from 0 to 1000000, such as 6 (0: the file's own size)");
    }
    if (const std::string* v = value("_up", key)) {
        if (!LOAD_3DS::ParseUpAxis(*v, o.up)) Refuse(key, *v, "x, y, z, -x, -y or -z");
    }
    if (const std::string* v = value("_floor", key)) {
        float y = 0.0f;
        if (!ParseNumber(*v, y)) Refuse(key, *v, "a height in the scene " + kUnitsRange + ", such as -5 (the floor's top)");
        // In the model's own coordinates: the fixed drop of its slot comes on top.
        o.onFloor = true;
        o.floorY = y - FixedDrop(i);
    }
    if (const std::string* v = value("_offset", key)) {
        if (!ParseTriple(*v, o.offset)) Refuse(key, *v, "three numbers " + kUnitsRange + " separated by commas, such as 0,-2.5,0");
    }
    if (const std::string* v = value("_meshes", key)) {
        if (*v == "all") o.allMeshes = true;
        else if (*v != "first") Refuse(key, *v, "first or all");
    }
    if (const std::string* v = value("_sides", key)) {
        if (*v == "both") o.sides = Sides::Both;
        else if (*v != "front") Refuse(key, *v, "front or both");
    }
    // The file's materials by default for every format but 3DS, whose scenes were made for the
    // fixed textures; the model's own texture key overrides both.
    const auto file = entries.find(Key(i, ""));
    o.materials = file != entries.end() && !Is3DSFile(file->second) ? Materials::File : Materials::Fixed;
    if (const std::string* v = value("_materials", key)) {
        if (*v == "file") o.materials = Materials::File;
        else if (*v == "fixed") o.materials = Materials::Fixed;
        else Refuse(key, *v, "file or fixed");
    }
    if (!ModelTexture(config, i).empty()) o.materials = Materials::Fixed;
    // A model in its own materials is shown as its file has it: its own normals where it has
    // them, elsewhere smooth with sharp edges kept. The fixed materials keep the smoothing of
    // the 3DS reader, as scenes without these keys always had it.
    const bool own = o.materials == Materials::File;
    o.smoothing = own ? Smoothing::Groups : Smoothing::Position;
    o.crease = own ? LOAD_3DS::kDefaultCreaseDegrees : -1.0f;
    if (const std::string* v = value("_smoothing", key)) {
        if (*v == "groups") o.smoothing = Smoothing::Groups;
        else if (*v == "position") o.smoothing = Smoothing::Position;
        else Refuse(key, *v, "position or groups");
    }
    if (const std::string* v = value("_crease", key)) {
        float degrees = 0.0f;
        if (!ParseNumber(*v, degrees) || degrees < 0.0f || degrees > 180.0f)
            Refuse(key, *v, "an angle in degrees from 0 to 180, such as 40");
        o.crease = degrees;
    }
    return o;
}

std::string ModelTexture(CONFIG::Lexer& config, int i) {
    const auto& entries = config.Entries();
    const auto it = entries.find(Key(i, "_texture"));
    return it == entries.end() ? std::string() : it->second;
}

}  // namespace WIN_NMS
