// The system calls the process layer needs, in the form this system offers
// them. Whatever differs between systems (pipe2, the pipe's size,
// strerror_l; how the server is started is server_start's) is settled here,
// by what the build found, so that the process itself reads the same
// everywhere.
#pragma once

#include <csignal>
#include <cstddef>
#include <string>
#include <utility>

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

// Every signal there is. Every bit is set by hand: sigfillset leaves out the
// C library's own signals, which posix_spawn then ignores in the child, and
// an ignored signal stays ignored across exec.
sigset_t everySignal();

// A pipe whose ends are both close-on-exec and above the standard streams,
// where they would be mistaken for (or clobbered by) the child's standard
// streams when the launcher itself was started with one of them closed.
// 0, or the error number.
int openPipe(UniqueDescriptor& readEnd, UniqueDescriptor& writeEnd);

// How much one read of the pipe takes.
std::size_t readSize(int pipe);

// The system's description of an error number, in the language of the
// user's locale as the environment sets it, in UTF-8 whatever the locale's
// character set; untranslated where it cannot be had so.
std::string describeError(int error);

} // namespace quillary
