#include "platform/macos/quit_signals.hh"

#include "platform/macos/macos_platform.hh"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace quillary {

namespace {

// The handler may only write to a pipe; a thread of its own reads it and
// hands the quit on.
int signalPipe[2] = {-1, -1};

void onSignal(int signal)
{
    int saved = errno;
    unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] ssize_t written = ::write(signalPipe[1], &number, 1);
    errno = saved;
}

// A signal that cannot be caught keeps its default and ends the launcher at
// once, leaving the server running: said, as nothing else would say it.
void warnUncaught(const char* call, int error)
{
    std::fprintf(stderr, "quillary: SIGTERM, SIGINT and SIGHUP end the launcher without stopping the server (%s: %s)\n",
                 call, std::strerror(error));
}

} // namespace

void quitOnSignals(MacPlatform& platform)
{
    if (::pipe(signalPipe) < 0)
        return warnUncaught("pipe", errno);
    for (int fd : signalPipe) {
        if (::fcntl(fd, F_SETFD, FD_CLOEXEC) < 0)
            return warnUncaught("fcntl", errno);
    }
    try {
        std::thread([&platform] {
            for (;;) {
                unsigned char number;
                ssize_t count = ::read(signalPipe[0], &number, 1);
                if (count < 0 && errno == EINTR)
                    continue;
                if (count <= 0)
                    break;
                platform.async([&platform] { platform.perform(MenuAction::terminate); });
            }
        }).detach();
    } catch (const std::system_error& failure) {
        return warnUncaught("std::thread", failure.code().value());
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        if (::sigaction(signal, &action, nullptr) < 0)
            warnUncaught("sigaction", errno);
    }
}

} // namespace quillary
