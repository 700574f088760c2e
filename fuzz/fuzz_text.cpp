// libFuzzer target: arbitrary bytes through the viewer's small readers of model files' text
// (an OBJ's material lines in pieces of any size, a PLY header's words) and through the flat-base
// guess over arbitrary positions and corner indices. None may crash, hang or read out of bounds.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "loaders/obj_material_files.h"
#include "loaders/up_evidence.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = std::size_t(data[0]) + 1;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    LOAD_3DS::ObjMaterialScanner scanner;
    for (std::size_t at = 0; at < text.size(); at += piece) scanner.Feed(text.substr(at, piece));
    scanner.Finish();
    if (scanner.Libraries().size() > LOAD_3DS::ObjMaterialScanner::kMaxLibraries) __builtin_trap();
    std::string why;
    LOAD_3DS::PlyHeaderUp(text, &why);
    // The same bytes as three floats per corner position, then three ints per face.
    const std::size_t half = (size - 1) / 2;
    std::vector<LOAD_3DS::LPoint3> positions(half / sizeof(LOAD_3DS::LPoint3));
    std::vector<LOAD_3DS::LFace> faces((size - 1 - half) / sizeof(LOAD_3DS::LFace));
    if (!positions.empty()) std::memcpy(positions.data(), data + 1, positions.size() * sizeof(LOAD_3DS::LPoint3));
    if (!faces.empty()) std::memcpy(faces.data(), data + 1 + half, faces.size() * sizeof(LOAD_3DS::LFace));
    LOAD_3DS::FlatBaseUp(positions, faces, &why);
    return 0;
}
