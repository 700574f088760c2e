// Our PLY reader of triangle strips: random meshes wound as strips with restarts, in text and
// both binary byte orders, read as the same triangles as the same meshes stored face by face;
// files that break a rule are refused with their reason.
#include "loaders/ply_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

using namespace LOAD_3DS;

namespace {

using Triple = std::tuple<int, int, int>;

// A face turned so that its smallest corner comes first (the same winding).
Triple Canonical(const LFace& f) {
    if (f.a <= f.b && f.a <= f.c) return {f.a, f.b, f.c};
    if (f.b <= f.a && f.b <= f.c) return {f.b, f.c, f.a};
    return {f.c, f.a, f.b};
}
std::multiset<Triple> FaceSet(const std::vector<LFace>& faces) {
    std::multiset<Triple> s;
    for (const LFace& f : faces) s.insert(Canonical(f));
    return s;
}

enum class Format { kAscii, kLittle, kBig };

struct Writer {
    Format format;
    std::string bytes;
    void Int(std::int32_t v) {
        if (format == Format::kAscii) {
            bytes += std::to_string(v) + " ";
            return;
        }
        unsigned char b[4];
        std::memcpy(b, &v, 4);
        if (format == Format::kBig) std::reverse(b, b + 4);
        bytes.append(reinterpret_cast<const char*>(b), 4);
    }
    void Float(float v) {
        if (format == Format::kAscii) {
            bytes += std::to_string(v) + " ";
            return;
        }
        std::int32_t i;
        std::memcpy(&i, &v, 4);
        Int(i);
    }
    void End() {
        if (format == Format::kAscii) bytes += "\n";
    }
};

// A PLY file of `vertices` vertices and one list element named `element` holding `lists`.
std::string PlyFile(Format format, int vertices, const std::string& element, const std::vector<std::vector<int>>& lists) {
    Writer w{format, ""};
    w.bytes = std::string("ply\nformat ") + (format == Format::kAscii ? "ascii" : format == Format::kLittle ? "binary_little_endian" : "binary_big_endian") +
              " 1.0\nelement vertex " + std::to_string(vertices) +
              "\nproperty float x\nproperty float y\nproperty float z\nelement " + element + " " + std::to_string(lists.size()) +
              "\nproperty list int int vertex_indices\nend_header\n";
    for (int v = 0; v < vertices; ++v) {
        w.Float(float(v % 7));
        w.Float(float(v / 7));
        w.Float(float(v % 3));
        w.End();
    }
    for (const auto& list : lists) {
        w.Int(std::int32_t(list.size()));
        for (int i : list) w.Int(i);
        w.End();
    }
    return w.bytes;
}

bool Read(const std::string& file, ImportedModel& model, std::string* error = nullptr) {
    return ReadPly(reinterpret_cast<const unsigned char*>(file.data()), file.size(), "m.ply", model, error);
}

TEST(PlyReaderTest, StripsWithRestartsAndAlternatingWindingAreTheSameTrianglesAsFaces) {
    std::mt19937 rng(2033);
    for (int round = 0; round < 30; ++round) {
        const int vertices = 40;
        std::uniform_int_distribution<int> vertex(0, vertices - 1), length(1, 12);
        // Strips of random lengths (some too short for a triangle), each ended by a restart, in
        // one list or several; and the triangles they stand for, the odd ones turned.
        std::vector<std::vector<int>> lists(1);
        std::vector<LFace> faces;
        for (int s = 0, strips = 1 + round % 6; s < strips; ++s) {
            std::vector<int> strip;
            for (int k = length(rng); k > 0; --k) strip.push_back(vertex(rng));
            for (std::size_t t = 0; t + 2 < strip.size(); ++t) {
                const int a = strip[t], b = strip[t + 1], c = strip[t + 2];
                if (a == b || b == c || a == c) continue;  // joins between strips are no faces
                faces.push_back(t % 2 == 0 ? LFace{a, b, c} : LFace{b, a, c});
            }
            if (round % 3 == 0 && s > 0) lists.emplace_back();  // a list of its own
            else if (!lists.back().empty()) lists.back().push_back(-1);
            lists.back().insert(lists.back().end(), strip.begin(), strip.end());
        }
        if (faces.empty()) continue;
        std::vector<std::vector<int>> faceLists;
        for (const LFace& f : faces) faceLists.push_back({f.a, f.b, f.c});
        ImportedModel asFaces;
        ASSERT_TRUE(Read(PlyFile(Format::kAscii, vertices, "face", faceLists), asFaces));
        for (Format format : {Format::kAscii, Format::kLittle, Format::kBig}) {
            SCOPED_TRACE(round * 10 + int(format));
            const std::string file = PlyFile(format, vertices, "tristrips", lists);
            EXPECT_TRUE(PlyDeclaresStrips(reinterpret_cast<const unsigned char*>(file.data()), file.size()));
            ImportedModel strips;
            std::string error;
            ASSERT_TRUE(Read(file, strips, &error)) << error;
            EXPECT_EQ(FaceSet(strips.faces), FaceSet(asFaces.faces));
            EXPECT_EQ(strips.positions.size(), std::size_t(vertices));
            EXPECT_EQ(std::memcmp(strips.positions.data(), asFaces.positions.data(), vertices * sizeof(LPoint3)), 0);
            EXPECT_EQ(strips.faceMaterials.size(), strips.faces.size());
        }
    }
    // A strip over a unit square in the plane z = 0: both triangles face +z.
    ImportedModel square;
    ASSERT_TRUE(Read("ply\nformat ascii 1.0\nelement vertex 4\nproperty float x\nproperty float y\nproperty float z\n"
                     "element tristrips 1\nproperty list int int vertex_indices\nend_header\n"
                     "0 0 0\n1 0 0\n0 1 0\n1 1 0\n4 0 1 2 3\n",
                     square));
    EXPECT_EQ(FaceSet(square.faces), FaceSet({{0, 1, 2}, {2, 1, 3}}));
}

TEST(PlyReaderTest, FilesThatBreakARuleAreRefusedWithTheirReason) {
    const std::string good = PlyFile(Format::kLittle, 9, "tristrips", {{0, 1, 2, 3, -1, 4, 5, 6}});
    ImportedModel model;
    ASSERT_TRUE(Read(good, model));
    EXPECT_EQ(model.faces.size(), 3u);
    std::string twoLists = good;
    twoLists.replace(twoLists.find("tristrips 1"), 11, "tristrips 2");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {twoLists, "Can not load m.ply: its data ends within its tristrips element"},
        {good.substr(0, good.size() - 2), "Can not load m.ply: a list of its tristrips element counts more values than the file holds"},
        {PlyFile(Format::kAscii, 9, "tristrips", {{0, 1, 9}}), "Can not load m.ply: a face or strip names vertex 9 of 9"},
        {PlyFile(Format::kAscii, 9, "tristrips", {{0, 1, -2}}), "Can not load m.ply: its tristrips element names vertex -2.000000"},
        {"ply\nformat ascii 1.0\nelement vertex 4000000000\nproperty float x\nend_header\n1 2 3\n",
         "Can not load m.ply: its vertex element counts more records than it holds"},
        {"ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\n", "Can not load m.ply: its header has no end_header line"},
        {"ply\nformat binary_middle_endian 1.0\nend_header\n", "Can not load m.ply: its format binary_middle_endian is not ascii or binary"},
        {PlyFile(Format::kAscii, 9, "tristrips", {{0, 1}}), "There are no triangles in m.ply"},
        {"solid\n", "Can not load m.ply: it does not begin with \"ply\""},
    };
    for (const auto& [file, message] : cases) {
        std::string error;
        EXPECT_FALSE(Read(file, model, &error)) << message;
        EXPECT_EQ(error, message);
    }
    // A list whose count claims more than the file holds is refused before anything is sized.
    std::string claim = PlyFile(Format::kLittle, 3, "tristrips", {{0, 1, 2}});
    const std::size_t at = claim.size() - 16;
    std::int32_t huge = 1 << 30;
    std::memcpy(&claim[at], &huge, 4);
    std::string error;
    EXPECT_FALSE(Read(claim, model, &error));
    EXPECT_EQ(error, "Can not load m.ply: a list of its tristrips element counts more values than the file holds");
}

}  // namespace
