#include "platform/linux/alert/modal_alert.hh"

#include "platform/linux/alert/alert_module.hh"

#include <cerrno>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillary {

namespace {

// Writes the text to standard error as far as it fits now, and drops the
// rest: a pipe that nobody reads (or a terminal held by Ctrl-S) must not
// hold up the main thread, and with it the alert, the tray and the signals.
// Standard error itself is not made non-blocking, as its open file is shared
// with whoever started us (a shell's terminal): a pipe or a terminal is
// opened anew for this, a socket (the journal's) is sent to without waiting,
// and a file never keeps a writer waiting.
void writeWithoutWaiting(std::string_view text)
{
    struct stat status{};
    if (::fstat(STDERR_FILENO, &status) < 0)
        return;
    int fd = STDERR_FILENO;
    if (S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode))
        fd = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    while (fd >= 0 && !text.empty()) {
        ssize_t written = S_ISSOCK(status.st_mode)
                              ? ::send(fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                              : ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            break;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    if (fd > STDERR_FILENO)
        ::close(fd);
}

} // namespace

void ModalAlert::run(std::string_view headline, std::string_view explanation)
{
    std::string headlineText(headline), explanationText(explanation);
    // The texts go to standard error first, whatever follows: where no
    // display can show the alert (or none is left to: GDK ends the process
    // when its display goes away), where GTK cannot be loaded, and where
    // GLib aborts for want of a thread or a descriptor while GTK starts, the
    // user who started the launcher from a terminal, or the session's log,
    // still has them.
    writeWithoutWaiting(headlineText + '\n' + explanationText + '\n');
    if (!module_) {
        module_ = g_module_open(modulePath_.c_str(), G_MODULE_BIND_LOCAL);
        if (!module_)
            g_debug("No alert module: %s", g_module_error());
    }
    gpointer runAlert = nullptr;
    if (!module_ || !g_module_symbol(module_, "quillary_alert_run", &runAlert)) {
        g_debug("No alert shown: %s", g_module_error());
        return;
    }
    reinterpret_cast<QuillaryAlertRun>(runAlert)(headlineText.c_str(), explanationText.c_str());
}

void ModalAlert::close()
{
    gpointer closeAlert = nullptr;
    if (module_ && g_module_symbol(module_, "quillary_alert_close", &closeAlert))
        reinterpret_cast<QuillaryAlertClose>(closeAlert)();
}

} // namespace quillary
