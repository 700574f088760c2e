// The import helper's reply as the viewer reads it: a whole reply comes back field for field,
// every cut of it ends as cut short, and hand-made replies that break a rule end as malformed,
// without sizing anything by a count whose bytes never came. And the helper's life: one that
// dies, hangs, is missing or sends nonsense through the pipe is a "Can not load" message, and
// no process of it is left.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/fuzz_entry.h"
#include "loaders/image.h"
#include "loaders/import_reply.h"
#include "tests/loaders/model_files.h"

namespace {

using namespace LOAD_3DS;

ImportReply Sample() {
    ImportReply r;
    r.ok = true;
    ImportedModel& m = r.model;
    m.positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}};
    m.normals = {{0, 0, 1}, {0, 0, 1}, {0, 0, 1}, {0, 0, 1}};
    m.fileNormal = {1, 1, 0, 1};
    m.uvs = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
    m.faces = {{0, 1, 2}, {1, 3, 2}};
    m.faceMaterials = {0, 1};
    m.images = {{"dir/a.png", 2, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}}, {"dir/a.png (alpha)", 1, 1, {7, 7, 7}}};
    FileMaterial raw;
    raw.name = "raw";
    raw.texture = "embedded image *0";
    raw.image = 0;
    raw.alphaImage = 1;
    raw.maps[2].image = 1;
    FileMaterial encoded;
    encoded.name = "png";
    encoded.diffuse[0] = 0.25f;
    encoded.tint[2] = 0.5f;
    m.materials = {raw, encoded};
    m.notes = {"texture a.png scaled from 4x4 to 2x2"};
    m.meshesInFile = 3;
    m.meshesUsed = 2;
    m.dropped = 5;
    m.declaredUp = DeclaredUp(UpAxis::NegZ);
    m.nonFinite = 1;
    r.filesRead = {"dir/m.obj", "dir/m.mtl"};
    return r;
}

using redowl_fuzz::EncodeReply;

ReplyEnd Read(const std::vector<unsigned char>& bytes, ImportReply& reply, std::uint64_t cap = 1 << 20) {
    MemorySource source(bytes.data(), bytes.size());
    ReplyReader reader(source, cap);
    return reader.Read(reply, {});
}

// Bytes of a hand-made reply, value by value in the wire's layout.
struct Raw {
    std::vector<unsigned char> b;
    template <class T>
    Raw& V(T v) {
        const auto* p = reinterpret_cast<const unsigned char*>(&v);
        b.insert(b.end(), p, p + sizeof v);
        return *this;
    }
    Raw& Text(const std::string& t) {
        V(std::uint64_t(t.size()));
        b.insert(b.end(), t.begin(), t.end());
        return *this;
    }
    // A result up to its vertices: success, no message, the four counts, the up axis.
    static Raw Result(std::uint8_t up = kUpUndeclared) {
        Raw r;
        r.V('R').V(std::uint8_t(1)).Text("");
        for (int k = 0; k < 4; ++k) r.V(std::int64_t(1));
        return r.V(up);
    }
    // Three vertices (positions, normals, flags, mapping coordinates), one face of material 0.
    Raw& Triangle(std::uint8_t flag = 1, int corner = 2) {
        V(std::uint64_t(3));
        for (float f : {0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, 0.f}) V(f);
        V(std::uint64_t(3));
        for (int k = 0; k < 9; ++k) V(0.0f);
        V(std::uint64_t(3)).V(std::uint8_t(1)).V(std::uint8_t(1)).V(flag);
        V(std::uint64_t(3));
        for (int k = 0; k < 6; ++k) V(0.0f);
        V(std::uint64_t(1)).V(0).V(1).V(corner);
        return V(std::uint64_t(1)).V(std::uint32_t(0));
    }
    // One material using image `image` (-1: none), then one image with the given header and
    // `bytes` bytes of it (none when w is 0), no notes.
    Raw& Material(std::int32_t w, std::int32_t h, std::uint64_t count, std::size_t bytes, float red = 1.0f,
                  std::int32_t image = 0) {
        V(std::uint64_t(1)).Text("m");
        for (float f : {red, 1.f, 1.f, 1.f, 1.f, 1.f}) V(f);
        Text("").V(w == 0 ? std::int32_t(-1) : image).V(std::int32_t(-1));
        // How it reflects: specular, roughness, metallic, reflects the scene, mirror, opacity,
        // cut-off, emission, two-sided, base alpha; then four maps without a texture.
        for (float f : {0.04f, 0.04f, 0.04f, 0.6f, 0.f}) V(f);
        V(std::uint8_t(0));
        for (float f : {0.f, 1.f, 0.5f, 0.f, 0.f, 0.f}) V(f);
        V(std::uint8_t(0)).V(std::uint8_t(0));
        for (int k = 0; k < 4; ++k) Text("").V(std::int32_t(-1));
        if (w == 0) return V(std::uint64_t(0)).V(std::uint64_t(0));
        V(std::uint64_t(1)).Text("i").V(w).V(h).V(count);
        b.insert(b.end(), bytes, 7);
        return V(std::uint64_t(0));
    }
};

TEST(ImportReplyTest, AWholeReplyComesBackAndEveryCutOfItIsCutShort) {
    const ImportReply sent = Sample();
    const std::vector<unsigned char> bytes = EncodeReply(sent);
    ImportReply got;
    float progress = -1.0f;
    MemorySource source(bytes.data(), bytes.size());
    ReplyReader reader(source, 1 << 20);
    ASSERT_EQ(reader.Read(got, [&](float share) { progress = share; }), ReplyEnd::kComplete);
    EXPECT_EQ(progress, 0.25f);
    EXPECT_EQ(reader.BytesRead(), bytes.size());
    const ImportedModel &a = sent.model, &b = got.model;
    EXPECT_EQ(std::memcmp(a.positions.data(), b.positions.data(), sizeof(LPoint3) * 4), 0);
    EXPECT_EQ(b.fileNormal, a.fileNormal);
    EXPECT_EQ(b.faces.size(), 2u);
    EXPECT_EQ(b.faces[1].b, 3);
    EXPECT_EQ(b.faceMaterials, a.faceMaterials);
    ASSERT_EQ(b.materials.size(), 2u);
    EXPECT_EQ(b.materials[0].image, 0);
    EXPECT_EQ(b.materials[0].alphaImage, 1);
    EXPECT_EQ(b.materials[0].maps[2].image, 1);
    EXPECT_EQ(b.materials[1].name, "png");
    EXPECT_EQ(b.materials[1].diffuse[0], 0.25f);
    EXPECT_EQ(b.materials[1].tint[2], 0.5f);
    EXPECT_EQ(b.materials[1].image, -1);
    ASSERT_EQ(b.images.size(), 2u);
    EXPECT_EQ(b.images[0].pixels, a.images[0].pixels);
    EXPECT_EQ(b.images[1].name, "dir/a.png (alpha)");
    EXPECT_EQ(b.notes, a.notes);
    EXPECT_TRUE(b.imagesDecoded);
    EXPECT_EQ(b.meshesInFile, 3);
    EXPECT_EQ(b.dropped, 5);
    EXPECT_EQ(b.declaredUp, DeclaredUp(UpAxis::NegZ));
    EXPECT_EQ(got.filesRead, sent.filesRead);

    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        ImportReply partial;
        ASSERT_EQ(Read(std::vector<unsigned char>(bytes.begin(), bytes.begin() + std::ptrdiff_t(cut)), partial),
                  ReplyEnd::kCutShort)
            << "cut at " << cut;
    }
    // A refusal: its message only.
    ImportReply refusal;
    refusal.message = "Can not load m.obj: broken";
    ASSERT_EQ(Read(EncodeReply(refusal), got), ReplyEnd::kComplete);
    EXPECT_FALSE(got.ok);
    EXPECT_EQ(got.message, refusal.message);
}

TEST(ImportReplyTest, CountsAreCappedAndArraysGrowOnlyWithTheBytesThatCame) {
    // 2^36 vertices claimed, one vertex sent, under a cap of 1 TiB: sized by the claim, the
    // array would need 768 GiB.
    ImportReply reply;
    Raw huge = Raw::Result();
    huge.V(std::uint64_t(1) << 36).V(1.0f).V(2.0f).V(3.0f);
    EXPECT_EQ(Read(huge.b, reply, std::uint64_t(1) << 40), ReplyEnd::kCutShort);
    EXPECT_LE(reply.model.positions.capacity() * sizeof(LPoint3), std::size_t(1) << 20);
    // A claim beyond the cap ends the reply before anything is sized.
    ImportReply capped;
    Raw over = Raw::Result();
    over.V(std::uint64_t(1) << 20).V(1.0f);
    EXPECT_EQ(Read(over.b, capped, 1 << 20), ReplyEnd::kMalformed);
    EXPECT_EQ(capped.model.positions.capacity(), 0u);
    // The reply as a whole is capped too: the sample does not fit in 100 bytes.
    EXPECT_EQ(Read(EncodeReply(Sample()), capped, 100), ReplyEnd::kMalformed);
}

TEST(ImportReplyTest, RepliesThatBreakARuleAreMalformed) {
    const auto malformed = [](const std::vector<unsigned char>& bytes) {
        ImportReply reply;
        return Read(bytes, reply, std::uint64_t(1) << 40) == ReplyEnd::kMalformed;
    };
    // Images: bytes that disagree with width x height, or a side longer than the viewer takes
    // (with a count that agrees, so only the size rule can end it), or a negative width; an
    // index past the images.
    EXPECT_TRUE(malformed(Raw::Result().Triangle().Material(2, 2, 11, 11).b));
    EXPECT_TRUE(malformed(Raw::Result().Triangle().Material(8193, 1, 8193ull * 3, 64).b));
    EXPECT_TRUE(malformed(Raw::Result().Triangle().Material(-2, 2, 0, 0).b));
    EXPECT_TRUE(malformed(Raw::Result().Triangle().Material(1, 1, 3, 3, 1.0f, 1).V(std::uint64_t(0)).b));
    ImportReply sample = Sample();
    sample.model.images[0].width = 3;
    EXPECT_TRUE(malformed(EncodeReply(sample)));
    // Flags, colours, corners, progress and message kinds.
    Raw badFlag;
    badFlag.V('R').V(std::uint8_t(2)).Text("");
    EXPECT_TRUE(malformed(badFlag.b));
    EXPECT_TRUE(malformed(Raw::Result().Triangle(2).Material(0, 0, 0, 0).b));
    EXPECT_TRUE(malformed(Raw::Result().Triangle(1, 3).Material(0, 0, 0, 0).V(std::uint64_t(0)).b));
    EXPECT_TRUE(malformed(Raw::Result().Triangle().Material(0, 0, 0, 0, std::nanf("")).V(std::uint64_t(0)).b));
    EXPECT_TRUE(malformed(Raw::Result(7).Triangle().Material(0, 0, 0, 0).V(std::uint64_t(0)).b));  // no such axis
    Raw progress;
    progress.V('P').V(1.5f);
    EXPECT_TRUE(malformed(progress.b));
    EXPECT_TRUE(malformed(Raw().V('X').b));
    sample = Sample();
    sample.model.normals.pop_back();
    EXPECT_TRUE(malformed(EncodeReply(sample)));
    sample = Sample();
    sample.model.positions[3].x = std::numeric_limits<float>::infinity();
    EXPECT_TRUE(malformed(EncodeReply(sample)));
    // A material's reflection beyond its range, and a map's image that is not its size.
    sample = Sample();
    sample.model.materials[0].roughness = 1.5f;
    EXPECT_TRUE(malformed(EncodeReply(sample)));
    sample = Sample();
    sample.model.materials[0].maps[2].image = 2;
    EXPECT_TRUE(malformed(EncodeReply(sample)));
    // The same hand-made reply with nothing wrong is whole.
    ImportReply sound;
    EXPECT_EQ(Read(Raw::Result().Triangle().Material(1, 1, 3, 3).V(std::uint64_t(0)).b, sound), ReplyEnd::kComplete);
}

// What a reply's reader allocated, counted from the capacities it left (nothing is freed while
// it reads, so this is its peak).
std::uint64_t Held(const ImportReply& r) {
    const ImportedModel& m = r.model;
    std::uint64_t held = m.positions.capacity() * sizeof(LPoint3) + m.normals.capacity() * sizeof(LPoint3) +
                         m.fileNormal.capacity() + m.uvs.capacity() * sizeof(LUV) + m.faces.capacity() * sizeof(LFace) +
                         m.faceMaterials.capacity() * 4 + m.materials.capacity() * sizeof(FileMaterial) +
                         r.filesRead.capacity() * sizeof(std::string);
    const auto text = [](const std::string& t) { return t.capacity() > 15 ? t.capacity() : 0; };
    for (const FileMaterial& f : m.materials) held += text(f.name) + text(f.texture) + f.embedded.capacity();
    for (const std::string& f : r.filesRead) held += text(f);
    return held;
}

TEST(ImportReplyTest, TextsWithANulOrAControlCharacterAreMalformedAndManyEmptyRecordsStayWithinTheCap) {
    // A compromised helper's path that reads as "x.png" to C and as a way out of the folder to
    // the path checks; a tab or an escape in a name.
    for (const std::string& bad : {std::string("x.png\0/..\0/..", 13), std::string("a\tb"), std::string("\x1b[2J"),
                                   std::string("del\x7f")}) {
        ImportReply reply;
        const std::vector<unsigned char> bytes = Raw::Result().Triangle().Material(0, 0, 0, 0).V(std::uint64_t(1)).Text(bad).b;
        EXPECT_EQ(Read(bytes, reply), ReplyEnd::kMalformed) << bad.size();
    }
    // The helper's writer sends such a text with '?' in their place, UTF-8 untouched.
    ImportReply sent = Sample(), got;
    sent.filesRead = {std::string("dir/x.png\0/..", 13), "d\xc3\xa9j\xc3\xa0\n"};
    ASSERT_EQ(Read(EncodeReply(sent), got), ReplyEnd::kComplete);
    EXPECT_EQ(got.filesRead, (std::vector<std::string>{"dir/x.png?/..", "d\xc3\xa9j\xc3\xa0?"}));
    // Records of 8 bytes that take 32 (an empty file name) or hundreds (a material) in memory:
    // as many as the bytes allow, under caps from 4 KiB to 1 MiB. The reader ends the reply as
    // malformed before it holds more than its cap.
    for (std::uint64_t cap : {std::uint64_t(4096), std::uint64_t(65536), std::uint64_t(1) << 20}) {
        Raw files = Raw::Result().Triangle().Material(0, 0, 0, 0);
        const std::uint64_t n = cap / 8;
        files.V(n);
        files.b.resize(files.b.size() + n * 8, 0);
        ImportReply reply;
        EXPECT_EQ(Read(files.b, reply, cap), ReplyEnd::kMalformed) << cap;
        EXPECT_LE(Held(reply), cap) << cap;
        Raw materials = Raw::Result().Triangle().V(n);
        materials.b.resize(materials.b.size() + cap, 0);
        ImportReply many;
        EXPECT_NE(Read(materials.b, many, cap), ReplyEnd::kComplete) << cap;
        EXPECT_LE(Held(many), cap) << cap;
    }
}

// Processes of process group `group` that have not died (a zombie waiting for its parent has).
int LiveInGroup(pid_t group) {
    int live = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream in(entry.path() / "stat");
        std::string stat;
        if (!std::getline(in, stat)) continue;
        const std::size_t end = stat.rfind(')');  // after the command's name, which may hold anything
        if (end == std::string::npos) continue;
        char state = 0;
        long parent = 0, pgrp = 0;
        if (std::sscanf(stat.c_str() + end + 1, " %c %ld %ld", &state, &parent, &pgrp) == 3 && pgrp == group && state != 'Z')
            ++live;
    }
    return live;
}

// Imports a file with a helper that is this shell script; the helper's pid through *pid.
std::string ImportWithHelper(const redowl_test::TempDir& dir, const std::string& script, std::chrono::milliseconds limit,
                             pid_t* pid) {
    const std::string program = dir.File("helper.sh");
    std::ofstream(program) << "#!/bin/sh\necho $$ > " << dir.File("pid") << "\n" << script << "\n";
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    std::ofstream(dir.File("m.obj")) << "v 0 0 0\n";
    std::filesystem::remove(dir.File("pid"));
    SetImportHelper(program);
    ImportedModel model;
    std::string error;
    ImportRequest request;
    request.timeLimit = limit;
    const bool ok = ImportModel(dir.File("m.obj"), model, &error, request);
    SetImportHelper("");
    *pid = 0;
    std::ifstream(dir.File("pid")) >> *pid;
    return ok ? "loaded" : error.substr(error.find(": ") + 2);
}

TEST(ImportHelperTest, AHelperThatDiesHangsOrSendsNonsenseIsAMessageAndLeavesNoProcess) {
    redowl_test::TempDir dir;
    std::vector<unsigned char> sample = EncodeReply(Sample());
    std::ofstream(dir.File("whole"), std::ios::binary).write(reinterpret_cast<const char*>(sample.data()), std::streamsize(sample.size()));
    std::ofstream(dir.File("half"), std::ios::binary).write(reinterpret_cast<const char*>(sample.data()), std::streamsize(sample.size() / 2));
    ImportReply mismatch = Sample();
    mismatch.model.images[0].pixels.pop_back();
    sample = EncodeReply(mismatch);
    std::ofstream(dir.File("mismatch"), std::ios::binary).write(reinterpret_cast<const char*>(sample.data()), std::streamsize(sample.size()));
    // 3 GiB of vertices claimed (within the helper's 4 GiB) and 4 bytes sent; then 12 GiB.
    Raw claim = Raw::Result(), over = Raw::Result();
    claim.V(std::uint64_t(1) << 28).V(0.0f);
    over.V(std::uint64_t(1) << 30).V(0.0f);
    std::ofstream(dir.File("claim"), std::ios::binary).write(reinterpret_cast<const char*>(claim.b.data()), std::streamsize(claim.b.size()));
    std::ofstream(dir.File("over"), std::ios::binary).write(reinterpret_cast<const char*>(over.b.data()), std::streamsize(over.b.size()));

    const std::chrono::milliseconds second(1000);
    const struct {
        std::string script;
        std::chrono::milliseconds limit;
        std::string expected;
    } cases[] = {
        {"cat " + dir.File("whole"), 10 * second, "loaded"},
        {"kill -SEGV $$", 10 * second, "its reader failed (signal 11)"},
        {"exit 7", 10 * second, "its reader failed (exit status 7)"},
        // It and what it started are killed at the deadline.
        {"sleep 30 & sleep 30", std::chrono::milliseconds(300), "its reader did not finish in time"},
        {"cat " + dir.File("half"), 10 * second, "its reader ended without a reply"},
        {"cat " + dir.File("claim") + "; sleep 30", std::chrono::milliseconds(300), "its reader did not finish in time"},
        {"cat " + dir.File("over") + "; sleep 30", 10 * second, "its reader sent a malformed reply"},
        {"cat " + dir.File("mismatch") + "; sleep 30", 10 * second, "its reader sent a malformed reply"},
    };
    for (const auto& c : cases) {
        pid_t pid = 0;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ImportWithHelper(dir, c.script, c.limit, &pid), c.expected) << c.script;
        EXPECT_LT(std::chrono::steady_clock::now() - start, c.limit + 5 * second) << c.script;
        ASSERT_GT(pid, 0) << c.script;
        EXPECT_TRUE(::waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD) << c.script << ": not reaped";
        for (int k = 0; k < 200 && LiveInGroup(pid) > 0; ++k) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(LiveInGroup(pid), 0) << c.script << ": a process of the helper is left";
    }

    // A helper that is not there: the message names it, and nothing is read in this process.
    SetImportHelper(dir.File("missing"));
    ImportedModel model;
    std::string error;
    EXPECT_FALSE(ImportModel(dir.File("m.obj"), model, &error));
    SetImportHelper("");
    EXPECT_EQ(error, "Can not load " + dir.File("m.obj") + ": the import helper " + dir.File("missing") +
                         " cannot be started (No such file or directory)");
}

// The helper's confinement, tried by the helper itself (its hidden --sandbox-probe): with a model
// in a folder of its own, it reads the model but not a file beside the folder, and can neither
// create a file, make or connect a socket, start a process nor run a program.
TEST(ImportHelperTest, TheHelperReadsOnlyItsModelsFolderAndCanNeitherWriteConnectNorStartAnything) {
    redowl_test::TempDir dir;
    std::filesystem::create_directory(dir.File("model"));
    std::ofstream(dir.File("model/m.obj")) << "v 0 0 0\n";
    std::ofstream(dir.File("private")) << "secret\n";
    const std::string command = std::string(REDOWL_BINARY_DIR "/redowl-import --sandbox-probe ") + dir.File("private") + " -- " +
                                dir.File("model/m.obj");
    std::FILE* probe = ::popen(command.c_str(), "r");
    ASSERT_NE(probe, nullptr);
    std::string out;
    char line[256];
    while (std::fgets(line, sizeof line, probe)) out += line;
    const int status = ::pclose(probe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
    // This kernel offers Landlock (the folder rule); where none is, reading outside is allowed.
    const bool landlock = out.find("landlock: ABI") != std::string::npos;
    EXPECT_NE(out.find(landlock ? "read outside the folder: refused" : "read outside the folder: allowed"), std::string::npos) << out;
    for (const char* refused : {"create a file in the folder: refused", "make a network socket: refused",
                                "connect a TCP socket: refused", "connect a local socket: refused",
                                "start a process: refused", "run a program: refused"})
        EXPECT_NE(out.find(refused), std::string::npos) << refused << "\n" << out;
    EXPECT_NE(out.find("read the model: allowed"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(dir.File("model/probe-written")));
}

}  // namespace
