// redowl-import [--memory BYTES] [--cpu-seconds SECONDS] [--parent PID] [--] FILE
// The viewer's import helper: reads one model file with assimp and writes its triangle list to
// standard output, as the reply the viewer reads (loaders/import_reply.h). The viewer starts it
// for every model file that is not 3DS, so that a reader that crashes, loops or takes all
// memory on a broken file ends this process and not the viewer. It limits itself before it
// reads anything: BYTES of memory beyond what it holds at its start, SECONDS of processor time,
// no core file; with --parent it dies when that process (the viewer) does. It opens only the
// model and files inside the model's folder.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <assimp/DefaultIOSystem.h>
#include <assimp/IOStream.hpp>
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
#include "loaders/folder_paths.h"
#include "loaders/import.h"
#include "loaders/import_reply.h"
#include "loaders/ply_reader.h"

namespace {

namespace fs = std::filesystem;
using namespace LOAD_3DS;

constexpr const char* kUsage =
    "usage: redowl-import [--memory BYTES] [--cpu-seconds SECONDS] [--parent PID] [--] FILE\n"
    "       redowl-import --help | --version\n"
    "The viewer's import helper: reads FILE with assimp and writes its triangles to standard\n"
    "output for the viewer (redowl starts it; it is not meant to be run by hand).\n";

// Files for assimp: the model and what lies inside its folder, opened for reading; every other
// path a file names (an MTL's "../../x", a glTF buffer's "/etc/passwd") is not there.
class FolderIO : public Assimp::DefaultIOSystem {
public:
    FolderIO(const fs::path& model, std::vector<std::string>& opened)
        : model_(fs::absolute(model).lexically_normal()), folder_(model_.parent_path()), opened_(opened) {}

    bool Exists(const char* file) const override { return Allowed(file) && DefaultIOSystem::Exists(file); }
    Assimp::IOStream* Open(const char* file, const char* mode) override {
        if (!Allowed(file) || !mode || std::strpbrk(mode, "wa+")) return nullptr;
        Assimp::IOStream* s = DefaultIOSystem::Open(file, mode);
        if (s) opened_.push_back(file);
        return s;
    }

private:
    bool Allowed(const char* file) const {
        if (!file || !*file) return false;
        std::error_code ec;
        return fs::absolute(file, ec).lexically_normal() == model_ || !RelativeInside(folder_, file).empty();
    }
    fs::path model_, folder_;
    std::vector<std::string>& opened_;
};

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

void Read(const std::string& file, ReplyWriter& writer, ImportReply& reply) {
    // assimp's PLY reader loses triangle strips: a file that winds its faces so is ours to read.
    std::string ext = fs::path(file).extension().string();
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".ply" && PlyFileDeclaresStrips(file)) {
        reply.ok = ReadPlyFile(file, reply.model, &reply.message);
        return;
    }
    Assimp::Importer importer;
    importer.SetIOHandler(new FolderIO(file, reply.filesRead));  // owned by the importer
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

void Limit(int resource, rlim_t value) {
    const rlimit limit{value, value};
    ::setrlimit(resource, &limit);
}

// The memory the process holds now (its address space), in bytes.
unsigned long long AddressSpace() {
    long pages = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
        std::fclose(statm);
    }
    return (unsigned long long)pages * (unsigned long long)::sysconf(_SC_PAGESIZE);
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long long memory = 0, cpu = 0, parent = 0;
    std::string file;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        unsigned long long* value = arg == "--memory" ? &memory : arg == "--cpu-seconds" ? &cpu : arg == "--parent" ? &parent : nullptr;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::fputs(WIN_NMS::VersionText("redowl-import").c_str(), stdout);
            return 0;
        }
        if (value) {
            if (i + 1 >= argc || !Number(argv[++i], *value)) {
                std::fprintf(stderr, "redowl-import: %s needs a number\n%s", arg.c_str(), kUsage);
                return 2;
            }
        } else if ((arg == "--" && i + 2 == argc) || (arg[0] != '-' && i + 1 == argc)) {
            file = argv[argc - 1];
            break;
        } else {
            std::fprintf(stderr, "redowl-import: unexpected %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }
    if (file.empty()) {
        std::fprintf(stderr, "redowl-import: no file\n%s", kUsage);
        return 2;
    }
    // Dies with the viewer: killed when the thread that started it ends, or not at all if the
    // viewer has ended already.
    if (parent > 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if ((unsigned long long)::getppid() != parent) return 3;
    }
    Limit(RLIMIT_CORE, 0);
    if (cpu > 0) {
        const rlimit limit{rlim_t(cpu), rlim_t(cpu + 1)};  // SIGXCPU, then SIGKILL a second later
        ::setrlimit(RLIMIT_CPU, &limit);
    }
    if (memory > 0) {
        const unsigned long long now = AddressSpace();
        if (now > 0) Limit(RLIMIT_AS, rlim_t(now + memory));
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
    try {
        Read(file, writer, reply);
    } catch (const std::bad_alloc&) {
        reply = ImportReply{};
        reply.message = "Can not load " + file + ": it needs more memory than its reader may take";
    } catch (const std::exception& e) {
        reply = ImportReply{};
        reply.message = "Can not load " + file + ": " + e.what();
    }
    writer.Result(reply);
    return 0;
}
