#include "tools/import/sandbox.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <netinet/in.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>


#if defined(__SANITIZE_ADDRESS__)
#define REDOWL_SANITIZER_RUNTIME 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define REDOWL_SANITIZER_RUNTIME 1
#endif
#endif
#ifdef REDOWL_SANITIZER_RUNTIME
static constexpr bool kSanitizerRuntime = true;
#else
static constexpr bool kSanitizerRuntime = false;
#endif

namespace redowl_import {

namespace {

std::string Errno(const std::string& what) { return what + " (" + std::strerror(errno) + ")"; }

bool SetLimit(int resource, rlim_t soft, rlim_t hard, const char* name, std::string* why) {
    const rlimit limit{soft, hard};
    if (::setrlimit(resource, &limit) == 0) return true;
    *why = Errno(std::string("its ") + name + " limit cannot be set");
    return false;
}

// The address space the process holds now, in bytes; 0 when it cannot be read.
std::uint64_t AddressSpace() {
    long pages = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "re");
    if (!statm) return 0;
    if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
    std::fclose(statm);
    const long page = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && page > 0 ? std::uint64_t(pages) * std::uint64_t(page) : 0;
}

// Half of the machine's memory, in bytes; 0 when it cannot be had.
std::uint64_t HalfOfMemory() {
    struct sysinfo info {};
    if (::sysinfo(&info) != 0 || info.totalram == 0) return 0;
    return std::uint64_t(info.totalram) * std::max<std::uint64_t>(info.mem_unit, 1) / 2;
}

// ---- Landlock ----------------------------------------------------------------------------
// The ruleset's attributes as the kernel's ABI 6 defines them; older kernels are given the
// prefix they know (the header of this system may be older than the kernel).
struct RulesetAttributes {
    std::uint64_t handledAccessFs = 0;
    std::uint64_t handledAccessNet = 0;
    std::uint64_t scoped = 0;
};
constexpr std::uint64_t kAccessFsTruncate = 1ull << 14;   // ABI 3
constexpr std::uint64_t kAccessFsIoctlDev = 1ull << 15;   // ABI 5
constexpr std::uint64_t kAccessNetBindConnect = 3;        // ABI 4: TCP bind and connect
constexpr std::uint64_t kScopeSocketsAndSignals = 3;      // ABI 6: abstract sockets, signals

// Every file-system right the kernel knows handled (so denied), with reading files and
// listing folders below `folder` allowed; TCP and signals outside the process denied where the
// kernel can. The ABI (0 when the kernel has none); -1 with the reason on another failure.
int Landlock(const std::string& folder, std::string* why) {
    const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 0) {
        if (errno == ENOSYS || errno == EOPNOTSUPP) return 0;
        return *why = Errno("Landlock cannot be used"), -1;
    }
    RulesetAttributes attributes;
    attributes.handledAccessFs = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;  // ABI 1: bits 0 to 12
    if (abi >= 2) attributes.handledAccessFs |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3) attributes.handledAccessFs |= kAccessFsTruncate;
    if (abi >= 5) attributes.handledAccessFs |= kAccessFsIoctlDev;
    if (abi >= 4) attributes.handledAccessNet = kAccessNetBindConnect;
    if (abi >= 6) attributes.scoped = kScopeSocketsAndSignals;
    const std::size_t size = abi >= 6 ? 24 : abi >= 4 ? 16 : 8;
    const int ruleset = int(::syscall(SYS_landlock_create_ruleset, &attributes, size, 0));
    if (ruleset < 0) return *why = Errno("its Landlock ruleset cannot be made"), -1;
    const int dir = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    landlock_path_beneath_attr beneath{};
    beneath.allowed_access = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
    beneath.parent_fd = dir;
    const bool ok = dir >= 0 && ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &beneath, 0) == 0 &&
                    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
    if (!ok) *why = Errno("the model's folder " + folder + " cannot be made its only one");
    if (dir >= 0) ::close(dir);
    ::close(ruleset);
    return ok ? int(abi) : -1;
}

// ---- seccomp -----------------------------------------------------------------------------

using Filter = std::unique_ptr<void, void (*)(scmp_filter_ctx)>;

// Refuses the named call (with EPERM, or `error`) when the conditions hold; a call this
// libseccomp or this architecture does not know is left alone (it cannot be made either).
bool Deny(scmp_filter_ctx f, const char* name, std::vector<scmp_arg_cmp> when = {}, int error = EPERM) {
    const int call = seccomp_syscall_resolve_name(name);
    if (call == __NR_SCMP_ERROR) return true;
    return seccomp_rule_add_array(f, SCMP_ACT_ERRNO(error), call, unsigned(when.size()), when.data()) == 0;
}

bool Seccomp(std::string* why) {
    Filter f(seccomp_init(SCMP_ACT_ALLOW), seccomp_release);
    if (!f) return *why = "its system call filter cannot be made", false;
    bool ok = true;
    // No process, thread, program, network or debugging of another process.
    for (const char* call : {"fork", "vfork", "clone", "clone3", "execve", "execveat", "socket", "socketpair", "connect",
                             "bind", "listen", "accept", "accept4", "ptrace", "process_vm_readv", "process_vm_writev",
                             "pidfd_open", "pidfd_getfd", "pidfd_send_signal", "kcmp", "tkill"})
        ok = ok && Deny(f.get(), call);
    // Nothing made, removed, renamed or changed in the file system; no way around the filter.
    for (const char* call : {"creat", "openat2", "open_by_handle_at", "name_to_handle_at", "unlink", "unlinkat", "rename",
                             "renameat", "renameat2", "mkdir", "mkdirat", "rmdir", "link", "linkat", "symlink",
                             "symlinkat", "chmod", "fchmod", "fchmodat", "chown", "fchown", "lchown", "fchownat",
                             "truncate", "ftruncate", "fallocate", "mknod", "mknodat", "utime", "utimes", "utimensat",
                             "futimesat", "setxattr", "lsetxattr", "fsetxattr", "removexattr", "lremovexattr",
                             "fremovexattr", "mount", "umount2", "pivot_root", "chroot", "unshare", "setns",
                             "io_uring_setup", "io_uring_enter", "io_uring_register", "bpf", "perf_event_open",
                             "userfaultfd", "keyctl", "add_key", "request_key", "personality", "setrlimit", "prlimit64",
                             "sendfile", "splice", "tee", "vmsplice", "copy_file_range", "memfd_create"})
        ok = ok && Deny(f.get(), call);
    // Files opened for reading only.
    for (const std::uint64_t flag : {std::uint64_t(O_WRONLY), std::uint64_t(O_RDWR), std::uint64_t(O_CREAT), std::uint64_t(O_TRUNC)}) {
        ok = ok && Deny(f.get(), "open", {SCMP_A1(SCMP_CMP_MASKED_EQ, flag, flag)});
        ok = ok && Deny(f.get(), "openat", {SCMP_A2(SCMP_CMP_MASKED_EQ, flag, flag)});
    }
    // Writes to standard output (the pipe) and standard error only. An address-sanitizer build's
    // runtime tests whether memory is readable by writing it into a pipe of its own, so there the
    // helper may write to descriptors it made itself (files still open for reading only).
    for (const char* call : {"write", "writev", "pwrite64", "pwritev", "pwritev2"}) {
        if (!kSanitizerRuntime) ok = ok && Deny(f.get(), call, {SCMP_A0(SCMP_CMP_GT, 2)});
        ok = ok && Deny(f.get(), call, {SCMP_A0(SCMP_CMP_EQ, 0)});
    }
    // No terminal control (a character pushed into the user's terminal), no signal to another
    // process.
    ok = ok && Deny(f.get(), "ioctl", {}, ENOTTY);
    const std::uint64_t self = std::uint64_t(::getpid());
    for (const char* call : {"kill", "tgkill", "rt_sigqueueinfo", "rt_tgsigqueueinfo"})
        ok = ok && Deny(f.get(), call, {SCMP_A0(SCMP_CMP_NE, self)});
    if (!ok || seccomp_load(f.get()) != 0) return *why = "its system call filter cannot be loaded", false;
    return true;
}

}  // namespace

bool CloseInheritedDescriptors(std::string* why) {
    if (::syscall(SYS_close_range, 3u, ~0u, 0u) == 0) return true;
    // Kernels before close_range: every descriptor /proc lists, but the listing's own.
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return *why = Errno("its descriptors cannot be listed"), false;
    std::vector<int> open;
    while (const dirent* entry = ::readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (fd > 2 && fd != ::dirfd(dir)) open.push_back(fd);
    }
    ::closedir(dir);
    for (int fd : open) ::close(fd);
    return true;
}

bool LimitResources(std::uint64_t memory, std::uint64_t cpuSeconds, std::string* why) {
    const std::uint64_t now = AddressSpace(), half = HalfOfMemory();
    if (now == 0) return *why = "its memory in use cannot be read from /proc/self/statm", false;
    if (half == 0) return *why = "the machine's memory cannot be read", false;
    memory = memory == 0 ? half : std::min(memory, half);
    // A file grown past 0 bytes fails with EFBIG rather than ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
    return SetLimit(RLIMIT_AS, rlim_t(now + memory), rlim_t(now + memory), "memory", why) &&
           SetLimit(RLIMIT_CORE, 0, 0, "core file", why) && SetLimit(RLIMIT_NPROC, 0, 0, "process", why) &&
           SetLimit(RLIMIT_FSIZE, 0, 0, "file size", why) &&
           // SIGXCPU at the deadline, SIGKILL a second later.
           (cpuSeconds == 0 || SetLimit(RLIMIT_CPU, rlim_t(cpuSeconds), rlim_t(cpuSeconds + 1), "processor time", why));
}

Confinement Confine(const std::string& folder) {
    Confinement c;
    c.landlockAbi = Landlock(folder, &c.why);
    if (c.landlockAbi < 0) return c;
    c.ok = Seccomp(&c.why);
    return c;
}

namespace {

// One line of the probe: whether the forbidden thing failed, and why.
bool Refused(const char* what, bool failed, int error) {
    if (failed)
        std::printf("%s: refused (%s)\n", what, std::strerror(error));
    else
        std::printf("%s: allowed\n", what);
    std::fflush(stdout);
    return failed;
}

}  // namespace

int ProbeSandbox(const std::string& model, const std::string& outside) {
    const std::string folder = model.find('/') == std::string::npos ? "." : model.substr(0, model.rfind('/') + 1);
    // Sockets made before the confinement, to be connected after it.
    const int tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int local = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const Confinement c = Confine(folder);
    std::printf("landlock: %s\n", c.landlockAbi > 0 ? ("ABI " + std::to_string(c.landlockAbi)).c_str() : "not offered by the kernel");
    if (!c.ok) return std::printf("confinement failed: %s\n", c.why.c_str()), 2;
    bool all = true;
    int fd = ::open(outside.c_str(), O_RDONLY | O_CLOEXEC);
    const bool outsideRefused = Refused("read outside the folder", fd < 0, errno);
    all = all && (outsideRefused || c.landlockAbi == 0);
    fd = ::open((folder + "/probe-written").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    all = Refused("create a file in the folder", fd < 0, errno) && all;
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    all = Refused("make a network socket", fd < 0, errno) && all;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    all = Refused("connect a TCP socket", ::connect(tcp, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno == EPERM, errno) && all;
    sockaddr_un path{};
    path.sun_family = AF_UNIX;
    std::snprintf(path.sun_path, sizeof path.sun_path, "%s", "/tmp/.X11-unix/X0");
    all = Refused("connect a local socket", ::connect(local, reinterpret_cast<sockaddr*>(&path), sizeof path) != 0 && errno == EPERM, errno) && all;
    const pid_t child = ::fork();
    if (child == 0) std::_Exit(0);
    if (child > 0) ::waitpid(child, nullptr, 0);
    all = Refused("start a process", child < 0, errno) && all;
    fd = ::open(model.c_str(), O_RDONLY | O_CLOEXEC);
    const bool read = fd >= 0;
    std::printf("read the model: %s\n", read ? "allowed" : std::strerror(errno));
    std::fflush(stdout);
    char* const args[] = {const_cast<char*>("/bin/true"), nullptr};
    ::execve("/bin/true", args, environ);  // returns only when refused
    all = Refused("run a program", true, errno) && all;
    return all && read ? 0 : 1;
}

}  // namespace redowl_import
