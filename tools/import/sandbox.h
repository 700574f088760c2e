#pragma once
// The import helper's confinement. assimp's readers and the image decoders run on bytes the
// user did not write, and a reader that follows a wild pointer can be made to run anything, so
// before the helper reads a byte of the model it gives up all it does not need:
//   - every descriptor but its standard streams (its standard output is the pipe to the viewer);
//   - memory beyond a ceiling, processor time beyond the deadline, core files, new processes
//     and file growth (resource limits, each of which must take: a limit that cannot be set is a
//     refusal to import, never a helper without it);
//   - the file system but the model's folder, read only (Landlock, where the kernel offers it);
//   - network sockets, exec, new processes and threads (assimp starts none), opening files for
//     writing, writes to any descriptor but standard output and error, signals to other
//     processes, and the kernel interfaces that would get around all this (a seccomp filter).

#include <cstdint>
#include <string>

namespace redowl_import {

// Closes every descriptor above standard error. False with the reason when one cannot be.
bool CloseInheritedDescriptors(std::string* why);

// The resource limits: the address space `memory` bytes beyond what the process holds now, but
// never more than half of the machine's memory beyond it, whatever was asked (0: that half);
// `cpuSeconds` of processor time (0: none set); no core file, no new process, no file written
// beyond 0 bytes. False with the reason when any limit cannot be read or set.
bool LimitResources(std::uint64_t memory, std::uint64_t cpuSeconds, std::string* why);

// What Confine could set up.
struct Confinement {
    bool ok = false;             // the seccomp filter is loaded (without it, nothing is read)
    int landlockAbi = 0;         // 0: the kernel has no Landlock, the folder rule is not there
    std::string why;             // when !ok, or Landlock failed for another reason
};

// Confines the process to reading below `folder` (Landlock) and to the system calls a reader
// needs (seccomp). Irreversible; applies to the calling thread and everything it starts.
Confinement Confine(const std::string& folder);

// For the helper's tests: the confinement of `model`'s folder applied, then each forbidden
// thing tried (reading `outside`, writing inside the folder, a network socket, a connection,
// a new process, exec), one line each on standard output ("NAME: refused (reason)" or
// "NAME: allowed"), and reading the model itself, which must be allowed. 0 when every forbidden
// thing was refused and the model could be read.
int ProbeSandbox(const std::string& model, const std::string& outside);

}  // namespace redowl_import
