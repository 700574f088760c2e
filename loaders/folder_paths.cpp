#include "loaders/folder_paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <utility>

#include "loaders/safe_open.h"

namespace LOAD_3DS {

namespace fs = std::filesystem;

std::string PathInsideFolder(const std::string& reference) {
    std::string ref = reference;
    std::replace(ref.begin(), ref.end(), '\\', '/');
    if (ref.empty() || ref[0] == '/') return {};
    if (ref.size() >= 2 && ref[1] == ':' && std::isalpha(static_cast<unsigned char>(ref[0]))) return {};
    const fs::path normal = fs::path(ref).lexically_normal();
    if (normal.empty() || normal == "." || *normal.begin() == "..") return {};
    return normal.generic_string();
}

fs::path RelativeInside(const fs::path& folder, const fs::path& file) {
    std::error_code ec;
    fs::path base = folder.empty() ? fs::current_path(ec) : fs::absolute(folder, ec);
    if (ec) return {};
    fs::path full = fs::absolute(file, ec);
    if (ec) return {};
    base = base.lexically_normal();
    if (!base.has_filename()) base = base.parent_path();  // "dir/" as "dir"
    const fs::path rel = full.lexically_normal().lexically_relative(base);
    if (rel.empty() || rel == "." || *rel.begin() == "..") return {};
    return rel;
}

namespace {

// A descriptor closed when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { Reset(-1); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }
    void Reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

std::string Reason() { return std::strerror(errno); }

bool WriteAll(int fd, const unsigned char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t k = ::write(fd, p, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= std::size_t(k);
    }
    return true;
}

// fill writes the content to the descriptor it is given; false with its reason in *why.
using Fill = std::function<bool(int fd, std::string* why)>;

bool WriteInside(const fs::path& root, const fs::path& relative, const Fill& fill, std::string* error,
                 mode_t mode = 0644) {
    const std::string shown = (root / relative).string();
    const std::string inside = PathInsideFolder(relative.generic_string());
    const fs::path rel(inside);
    if (inside.empty() || !rel.has_filename()) return Fail(error, "cannot write " + shown + ": not a file inside " + root.string());
    std::error_code ec;
    fs::create_directories(root, ec);
    Descriptor dir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return Fail(error, "cannot open " + root.string() + ": " + Reason());
    // Each folder below the root entered by its descriptor, never through a link.
    for (const fs::path& part : rel.parent_path()) {
        if (::mkdirat(dir.get(), part.c_str(), 0777) != 0 && errno != EEXIST)
            return Fail(error, "cannot create a folder for " + shown + ": " + Reason());
        const int next = ::openat(dir.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            const std::string why = Reason();
            struct stat link {};
            const bool isLink = ::fstatat(dir.get(), part.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode);
            return Fail(error, "cannot write " + shown + ": " + (isLink ? (rel.parent_path() / "").string() + " leads through a symbolic link" : why));
        }
        dir.Reset(next);
    }
    // The temporary file in the folder the descriptor holds, whatever its path has become.
    std::string temporary = "/proc/self/fd/" + std::to_string(dir.get()) + "/.redowl-XXXXXX";
    Descriptor out(::mkostemp(temporary.data(), O_CLOEXEC));
    if (out.get() < 0) return Fail(error, "cannot write " + shown + ": " + Reason());
    const std::string name = fs::path(temporary).filename().string();
    std::string why;
    bool ok = fill(out.get(), &why);
    if (ok && ::fchmod(out.get(), mode) != 0) ok = false, why = Reason();
    if (::close(out.Release()) != 0 && ok) ok = false, why = Reason();
    if (ok && ::renameat(dir.get(), name.c_str(), dir.get(), rel.filename().c_str()) != 0) ok = false, why = Reason();
    if (!ok) {
        ::unlinkat(dir.get(), name.c_str(), 0);
        return Fail(error, "cannot write " + shown + ": " + why);
    }
    return true;
}

}  // namespace

bool WriteBytesInside(const fs::path& root, const fs::path& relative, const std::vector<unsigned char>& bytes,
                      std::string* error) {
    return WriteInside(root, relative, [&](int fd, std::string* why) { return WriteAll(fd, bytes.data(), bytes.size()) || (*why = Reason(), false); },
                       error);
}

bool CopyFileInside(const fs::path& root, const fs::path& relative, const fs::path& source, std::string* error,
                    const std::string& sourceFolder) {
    // Opened first: the source may be the file the copy replaces. Not waiting on a pipe or a
    // device that a name may stand for, and read through the descriptor that was checked.
    std::string why;
    Descriptor in(OpenRegularFile(source.string(), sourceFolder, &why));
    struct stat info {};
    const std::string name = source.string();
    if (in.get() < 0)  // why begins with the name: "NAME is a named pipe, not a file"
        return Fail(error, "cannot copy " + name + ": " + (why.rfind(name + " ", 0) == 0 ? why.substr(name.size() + 1) : why));
    if (::fstat(in.get(), &info) != 0) return Fail(error, "cannot copy " + source.string() + ": " + Reason());
    const mode_t mode = info.st_mode & 0644;
    return WriteInside(
        root, relative,
        [&](int fd, std::string* why) {
            std::vector<unsigned char> buffer(1 << 16);
            for (;;) {
                const ssize_t k = ::read(in.get(), buffer.data(), buffer.size());
                if (k < 0 && errno == EINTR) continue;
                if (k < 0) return *why = "cannot read " + source.string() + ": " + Reason(), false;
                if (k == 0) return true;
                if (!WriteAll(fd, buffer.data(), std::size_t(k))) return *why = Reason(), false;
            }
        },
        error, mode);
}

}  // namespace LOAD_3DS
