// redowl-import [--memory BYTES] [--cpu-seconds SECONDS] [--parent PID] [--] FILE
// The viewer's import helper: reads one model file with assimp and writes its triangle list to
// standard output, as the reply the viewer reads (loaders/import_reply.h). The viewer starts it
// for every model file that is not 3DS, so that a reader that crashes, loops or takes all
// memory on a broken file ends this process and not the viewer. It limits itself before it
// reads anything: BYTES of memory beyond what it holds at its start (at most half of the
// machine's), SECONDS of processor time, no core file, no new process, no file written; with
// --parent it dies when that process (the viewer) does. Then it confines itself
// (tools/import/sandbox.h): it can read only the model's folder, and neither write a file,
// start anything nor reach the network. A limit it cannot set is a refusal to import.
#include <sys/prctl.h>
#include <unistd.h>

#include <assimp/Importer.hpp>
#include <assimp/ProgressHandler.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>

#include "app/command_line.h"
#include "loaders/import.h"
#include "loaders/import_reply.h"
#include "loaders/model_images.h"
#include "loaders/ply_reader.h"
#include "loaders/safe_open.h"
#include "tools/import/folder_io.h"
#include "tools/import/sandbox.h"

namespace {

namespace fs = std::filesystem;
using namespace LOAD_3DS;
using namespace redowl_import;

constexpr const char* kUsage =
    "usage: redowl-import [--memory BYTES] [--cpu-seconds SECONDS] [--parent PID] [--] FILE\n"
    "       redowl-import --help | --version\n"
    "The viewer's import helper: reads FILE with assimp and writes its triangles to standard\n"
    "output for the viewer (redowl starts it; it is not meant to be run by hand).\n";

class Progress : public Assimp::ProgressHandler {
public:
    explicit Progress(ReplyWriter& writer) : writer_(writer) {}
    bool Update(float share) override {
        if (share >= 0.0f) writer_.Progress(std::min(share, 1.0f));
        return true;  // never cancel
    }

private:
    ReplyWriter& writer_;
};

// Post-processing: polygons into triangles, mapping coordinates made where the file maps by
// projection and carried through its texture transforms. Vertices are joined by the conversion,
// not by assimp (whose joining step costs more than the whole import of a large file).
constexpr unsigned kSteps = aiProcess_Triangulate | aiProcess_GenUVCoords | aiProcess_TransformUVCoords;

void ReadWithAssimp(const std::string& file, int fd, ReplyWriter& writer, ImportReply& reply);

// fd: the model, opened before the confinement.
void Read(const std::string& file, int fd, ReplyWriter& writer, ImportReply& reply) {
    // assimp's PLY reader loses triangle strips: a file that winds its faces so is ours to read.
    std::string ext = fs::path(file).extension().string();
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".ply" && PlyFileDeclaresStrips(file)) {
        reply.ok = ReadPlyFile(file, reply.model, &reply.message);
    } else {
        ReadWithAssimp(file, fd, writer, reply);
    }
    // The textures decoded here too: their decoders run on the user's bytes as assimp does.
    if (reply.ok) {
        ImportedModel& m = reply.model;
        DecodeModelImages(m.materials, fs::path(file).parent_path().string(), m.images, m.notes, &reply.filesRead);
    }
}

void ReadWithAssimp(const std::string& file, int fd, ReplyWriter& writer, ImportReply& reply) {
    Assimp::Importer importer;
    importer.SetIOHandler(new FolderIO(file, fd, reply.filesRead));  // owned by the importer
    importer.SetProgressHandler(new Progress(writer));           // likewise
    const aiScene* scene = importer.ReadFile(file, kSteps);
    if (!scene) {
        std::string why = importer.GetErrorString();
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
        reply.message = "Can not load " + file + (why.empty() ? std::string() : ": " + why);
        return;
    }
    reply.ok = ConvertScene(*scene, KindOf(file), reply.model, &reply.message, file);
}

bool Number(const char* text, unsigned long long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && text[0] != '-';
}

struct Arguments {
    unsigned long long memory = 0, cpu = 0, parent = 0;
    std::string file;
    std::string probeOutside;  // --sandbox-probe OUTSIDE: the confinement's test (not listed)
};

// The arguments; -1 when the helper goes on, else its exit status (help, version, misuse).
int Parse(int argc, char** argv, Arguments& a) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        unsigned long long* value = arg == "--memory" ? &a.memory : arg == "--cpu-seconds" ? &a.cpu : arg == "--parent" ? &a.parent : nullptr;
        if (arg == "--help" || arg == "-h") return std::fputs(kUsage, stdout), 0;
        if (arg == "--version") return std::fputs(WIN_NMS::VersionText("redowl-import").c_str(), stdout), 0;
        if (value) {
            if (i + 1 >= argc || !Number(argv[++i], *value)) {
                std::fprintf(stderr, "redowl-import: %s needs a number\n%s", arg.c_str(), kUsage);
                return 2;
            }
        } else if (arg == "--sandbox-probe" && i + 1 < argc) {
            a.probeOutside = argv[++i];
        } else if ((arg == "--" && i + 2 == argc) || (arg[0] != '-' && i + 1 == argc)) {
            a.file = argv[argc - 1];
            break;
        } else {
            std::fprintf(stderr, "redowl-import: unexpected %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }
    if (a.file.empty()) {
        std::fprintf(stderr, "redowl-import: no file\n%s", kUsage);
        return 2;
    }
    return -1;
}

// The model opened (the user named it, so a link to it is followed; a regular file only), then
// the limits and the confinement, before anything of it is read. "" when all hold; else the
// reason, with *fd -1 when the model itself cannot be opened.
std::string Confined(const Arguments& a, int* fd) {
    std::string why;
    if (!CloseInheritedDescriptors(&why)) return "the import helper cannot confine itself: " + why;
    *fd = OpenRegularFile(a.file, "", &why);
    if (*fd < 0) return why;
    if (!LimitResources(a.memory, a.cpu, &why)) return "the import helper cannot confine itself: " + why;
    std::error_code ec;
    const fs::path folder = fs::absolute(a.file, ec).parent_path();
    const Confinement c = Confine(ec ? std::string(".") : folder.string());
    return c.ok ? std::string() : "the import helper cannot confine itself: " + c.why;
}

}  // namespace

// The confined helper may not start threads, and the leak checker of a sanitizer build stops the
// world from a thread of its own at exit: it would fail there and turn every exit into an abort.
// The viewer's own processes keep the leak check.
extern "C" int __lsan_is_turned_off() { return 1; }

int main(int argc, char** argv) {
    Arguments a;
    if (const int status = Parse(argc, argv, a); status >= 0) return status;
    if (!a.probeOutside.empty()) {
        std::string why;
        if (!CloseInheritedDescriptors(&why) || !LimitResources(a.memory, a.cpu, &why)) return std::puts(why.c_str()), 2;
        return ProbeSandbox(a.file, a.probeOutside);
    }
    // Dies with the viewer: killed when the thread that started it ends, or not at all if the
    // viewer has ended already.
    if (a.parent > 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if ((unsigned long long)::getppid() != a.parent) return 3;
    }
    ReplyWriter writer([](const void* data, std::size_t n) {
        const auto* p = static_cast<const unsigned char*>(data);
        while (n > 0) {
            const ssize_t k = ::write(1, p, n);
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) std::_Exit(3);  // the viewer went away
            p += k;
            n -= std::size_t(k);
        }
    });
    ImportReply reply;
    int fd = -1;
    if (const std::string why = Confined(a, &fd); !why.empty()) {
        // A helper that cannot hold itself to its limits reads nothing.
        reply.message = "Can not load " + a.file + ": " + why;
    } else {
        try {
            Read(a.file, fd, writer, reply);
        } catch (const std::bad_alloc&) {
            reply = ImportReply{};
            reply.message = "Can not load " + a.file + ": it needs more memory than its reader may take";
        } catch (const std::exception& e) {
            reply = ImportReply{};
            reply.message = "Can not load " + a.file + ": " + e.what();
        }
    }
    writer.Result(reply);  // sent at once
    // Ends without the exit handlers: a leak checker's thread could not be started here.
    std::_Exit(0);
}
