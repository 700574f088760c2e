#include "loaders/safe_open.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "loaders/folder_paths.h"

namespace LOAD_3DS {

namespace {

int Refuse(std::string* error, const std::string& why, int fd = -1) {
    if (fd >= 0) ::close(fd);
    if (error) *error = why;
    return -1;
}

// The path with every link resolved, or "" when some part of it is missing.
std::string RealPath(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return {};
    std::string out(real);
    std::free(real);
    return out;
}

bool Inside(const std::string& real, const std::string& realFolder) {
    if (realFolder == "/") return real.size() > 1 && real[0] == '/';
    return real.size() > realFolder.size() + 1 && real.compare(0, realFolder.size(), realFolder) == 0 &&
           real[realFolder.size()] == '/';
}

// Where the descriptor's file lies, as the kernel names it ("" when it cannot say).
std::string DescriptorPath(int fd) {
    char buffer[PATH_MAX + 1];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), buffer, PATH_MAX);
    return n > 0 ? std::string(buffer, std::size_t(n)) : std::string();
}

const char* KindOf(mode_t mode) {
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISDIR(mode)) return "a folder";
    return "no regular file";
}

}  // namespace

std::string ImpliedFolder(const std::string& path) {
    if (path.empty() || path[0] == '/') return {};
    return PathInsideFolder(path).empty() ? std::string() : std::string(".");
}

int OpenRegularFile(const std::string& path, const std::string& folder, std::string* error) {
    // Non-blocking, so that opening a pipe or a device returns at once; no controlling terminal.
    constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    std::string realFolder;
    if (!folder.empty()) {
        realFolder = RealPath(folder);
        if (realFolder.empty()) return Refuse(error, path + " cannot be opened: " + folder + " cannot be found");
    }
    std::string target = path;
    int fd = ::open(target.c_str(), kFlags | (folder.empty() ? 0 : O_NOFOLLOW));
    if (fd < 0 && errno == ELOOP && !folder.empty()) {
        // The last part is a link: resolved first, and opened only where it stays inside.
        target = RealPath(path);
        if (target.empty() || !Inside(target, realFolder))
            return Refuse(error, path + " leads out of " + folder + " through a symbolic link");
        fd = ::open(target.c_str(), kFlags | O_NOFOLLOW);
    }
    if (fd < 0) return Refuse(error, path + " cannot be opened: " + std::strerror(errno));
    struct stat info {};
    if (::fstat(fd, &info) != 0) return Refuse(error, path + " cannot be read: " + std::strerror(errno), fd);
    if (!S_ISREG(info.st_mode)) return Refuse(error, path + " is " + KindOf(info.st_mode) + ", not a file", fd);
    // A folder on the way may have been a link, or a link swapped in since it was resolved: what
    // counts is where the open file lies.
    if (!folder.empty() && !Inside(DescriptorPath(fd), realFolder))
        return Refuse(error, path + " leads out of " + folder + " through a symbolic link", fd);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return Refuse(error, path + " cannot be read: " + std::strerror(errno), fd);
    return fd;
}

std::FILE* OpenRegularStream(const std::string& path, const std::string& folder, std::string* error) {
    const int fd = OpenRegularFile(path, folder, error);
    if (fd < 0) return nullptr;
    std::FILE* f = ::fdopen(fd, "rb");
    if (!f) Refuse(error, path + " cannot be read: " + std::strerror(errno), fd);
    return f;
}

bool ReadRegularFile(const std::string& path, const std::string& folder, std::size_t maxBytes,
                     std::vector<unsigned char>& bytes, std::string* error) {
    const int fd = OpenRegularFile(path, folder, error);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0) return Refuse(error, path + " cannot be read: " + std::strerror(errno), fd), false;
    if (std::size_t(info.st_size) > maxBytes)
        return Refuse(error, path + " is larger than " + std::to_string(maxBytes) + " bytes", fd), false;
    try {
        bytes.resize(std::size_t(info.st_size));
    } catch (const std::bad_alloc&) {
        return Refuse(error, path + " is larger than this machine can hold in memory", fd), false;
    }
    // The size seen by fstat is what is read; a file that shrank meanwhile is short.
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t k = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return Refuse(error, path + " cannot be read: it ended early", fd), false;
        got += std::size_t(k);
    }
    ::close(fd);
    return true;
}

}  // namespace LOAD_3DS
