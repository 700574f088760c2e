#include "tools/import/folder_io.h"

#include <assimp/IOStream.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "loaders/folder_paths.h"
#include "loaders/safe_open.h"

namespace redowl_import {

namespace {

namespace fs = std::filesystem;

// A stream over a descriptor of its own, read at its own position (pread), so that two streams
// of one file never move each other.
class DescriptorStream : public Assimp::IOStream {
public:
    explicit DescriptorStream(int fd) : fd_(fd) {
        struct stat info {};
        size_ = ::fstat(fd, &info) == 0 && info.st_size > 0 ? std::size_t(info.st_size) : 0;
    }
    ~DescriptorStream() override { ::close(fd_); }

    std::size_t Read(void* buffer, std::size_t size, std::size_t count) override {
        if (size == 0 || count == 0 || count > ~std::size_t(0) / size) return 0;
        auto* p = static_cast<char*>(buffer);
        std::size_t want = size * count, got = 0;
        while (got < want) {
            const ssize_t k = ::pread(fd_, p + got, want - got, off_t(at_ + got));
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) break;
            got += std::size_t(k);
        }
        // Whole elements only, as fread counts them.
        at_ += got / size * size;
        return got / size;
    }
    std::size_t Write(const void*, std::size_t, std::size_t) override { return 0; }
    aiReturn Seek(std::size_t offset, aiOrigin origin) override {
        // The offset is signed, as fseek takes it (assimp's readers step back with it).
        if (origin != aiOrigin_SET && origin != aiOrigin_CUR && origin != aiOrigin_END) return aiReturn_FAILURE;
        const long long base = origin == aiOrigin_SET ? 0 : origin == aiOrigin_CUR ? (long long)at_ : (long long)size_;
        const long long step = (long long)offset;
        if ((step > 0 && base > LLONG_MAX - step) || base + step < 0) return aiReturn_FAILURE;
        at_ = std::size_t(base + step);
        return aiReturn_SUCCESS;
    }
    std::size_t Tell() const override { return at_; }
    std::size_t FileSize() const override { return size_; }
    void Flush() override {}

private:
    int fd_;
    std::size_t size_ = 0;
    std::size_t at_ = 0;
};

}  // namespace

FolderIO::FolderIO(const fs::path& model, int modelFd, std::vector<std::string>& opened)
    : model_(fs::absolute(model).lexically_normal()), folder_(model_.parent_path()), modelFd_(modelFd), opened_(opened) {}

bool FolderIO::IsModel(const char* file) const {
    std::error_code ec;
    return fs::absolute(file, ec).lexically_normal() == model_;
}

bool FolderIO::Allowed(const char* file) const {
    return file && *file && (IsModel(file) || !LOAD_3DS::RelativeInside(folder_, file).empty());
}

bool FolderIO::Exists(const char* file) const {
    return Allowed(file) && (IsModel(file) || DefaultIOSystem::Exists(file));
}

Assimp::IOStream* FolderIO::Open(const char* file, const char* mode) {
    if (!Allowed(file) || !mode || std::strpbrk(mode, "wa+")) return nullptr;
    const int fd = IsModel(file) ? ::fcntl(modelFd_, F_DUPFD_CLOEXEC, 0) : LOAD_3DS::OpenRegularFile(file, folder_.string(), nullptr);
    if (fd < 0) return nullptr;
    opened_.push_back(file);
    return new DescriptorStream(fd);
}

}  // namespace redowl_import
