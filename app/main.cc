// The launcher's process entry: the desktop's platform, one controller.
#include "app/app_delegate.hh"
// The adapter's own folder, which the build puts on the include path.
#include "native_platform.hh"

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

int main()
{
    // Started with a standard stream closed, the launcher would hand that
    // descriptor number to the first file it opens, and the server would
    // write into it. Keep 0, 1 and 2 taken.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0)
            open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
    // An inherited "ignore" for SIGCHLD would have the kernel reap the
    // server behind our back, and its exit status would be lost.
    std::signal(SIGCHLD, SIG_DFL);
    // A parent that blocked the signals that quit us (and forgot them so
    // across its exec) would leave them pending for ever: the launcher could
    // be quit from its menus only. Threads started later take the mask on.
    sigset_t quitSignals;
    sigemptyset(&quitSignals);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&quitSignals, signal);
    sigprocmask(SIG_UNBLOCK, &quitSignals, nullptr);

    // The platform first, so that it outlives the controller and its server.
    quillary::NativePlatform platform;
    auto delegate = quillary::AppDelegate::create(platform);
    return platform.run(*delegate);
}
