// What the child does between clone and exec on the road where the server
// learns of its launcher's death (server_start): a system-calls file, like
// server_start.cc, built for that road alone.
#pragma once

#include <sys/types.h>

// What this system offers beyond POSIX, found by the build (each is 0 when
// QUILLARY_PORTABLE_PROCESS builds the road taken where it is missing):
// QUILLARY_HAVE_SETSIG (F_SETSIG), QUILLARY_HAVE_CLOSE_RANGE,
// QUILLARY_HAVE_KERNEL_SIGNALS (the kernel's own rt_sigaction) and
// QUILLARY_HAVE_CLONE_VFORK, which together make the road on which the server
// learns of its launcher's death (Linux), and QUILLARY_HAVE_GLIBC_CLONE there;
// QUILLARY_HAVE_CLOSEFROM_NP (glibc), for posix_spawn where that road is not.
#define QUILLARY_DEATH_SIGNAL                                                                                   \
    (QUILLARY_HAVE_SETSIG && QUILLARY_HAVE_CLOSE_RANGE && QUILLARY_HAVE_KERNEL_SIGNALS && QUILLARY_HAVE_CLONE_VFORK)

namespace quillary {

// All of it made by the launcher before the clone: the child allocates nothing.
struct ChildSetUp {
    char* const* argv;
    char* const* envp;
    int output, error;
    pid_t parent;
    int deathEnds[2];
    // The launcher's limit of open files, where nothing lists them.
    unsigned descriptorLimit;
};

// The child's function: sets itself up as the server and execs it; on
// failure, writes errno to `error` and exits.
int becomeServer(void* setUp);

} // namespace quillary
