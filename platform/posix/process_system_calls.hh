// The system calls the process layer needs, in the form this system offers
// them. Whatever differs between systems (pipe2, closefrom in the file
// actions, the pipe's size, strerror_l) is settled here, by what the build
// found, so that the process itself reads the same everywhere. The calls on
// descriptors fail as the calls they wrap do, with -1 and errno; those that
// set up posix_spawn as posix_spawn's own do, returning the error number.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include <spawn.h>
#include <unistd.h>

namespace quillary {

// Move-only owner of a file descriptor.
class UniqueDescriptor {
public:
    explicit UniqueDescriptor(int fd = -1) : fd_(fd) {}
    UniqueDescriptor(UniqueDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueDescriptor& operator=(UniqueDescriptor&& other) noexcept
    {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~UniqueDescriptor() { reset(); }

    int get() const { return fd_; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Moves a descriptor off 0, 1 and 2, where it would be mistaken for (or
// clobbered by) the child's standard streams when the launcher itself was
// started with one of them closed. The descriptor, or -1 with errno set.
int aboveStandardStreams(int fd);

// A pipe whose ends are both close-on-exec: 0, or -1 with errno set.
int closeOnExecPipe(int fds[2]);

// Owner of one of posix_spawn's set-up objects, destroyed on whichever road
// the launch leaves by. Its initialisation can fail (for want of memory):
// status() is then the error number, and there is nothing to use or destroy.
template <typename SetUp, auto initialise, auto destroy>
class SpawnSetUp {
public:
    SpawnSetUp() : status_(initialise(&setUp_)) {}
    ~SpawnSetUp()
    {
        if (status_ == 0)
            destroy(&setUp_);
    }
    SpawnSetUp(const SpawnSetUp&) = delete;
    SpawnSetUp& operator=(const SpawnSetUp&) = delete;

    int status() const { return status_; }
    SetUp* get() { return &setUp_; }

private:
    SetUp setUp_;
    int status_;
};
using SpawnFileActions =
    SpawnSetUp<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init, ::posix_spawn_file_actions_destroy>;
using SpawnAttributes = SpawnSetUp<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;

// The child keeps its standard streams and nothing else of the launcher's:
// a descriptor the launcher inherited without close-on-exec (from a
// terminal, a desktop, a debugger) is none of the server's business.
// 0, or the error number, as posix_spawn's own set-up calls answer.
int closeAboveStandardStreams(posix_spawn_file_actions_t* actions);

// How much one read of the pipe takes.
std::size_t readSize(int pipe);

// The system's description of an error number, in the language of the
// user's locale as the environment sets it.
std::string describeError(int error);

} // namespace quillary
