#include "platform/linux/modal_alert.hh"

#include "platform/linux/alert_module.hh"

#include <cerrno>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillary {

namespace {

// A line of the explanation longer than this is shown by its start and its
// end: GTK lays out a label of hundreds of thousands of characters for
// minutes, a terminal scrolls it away, a pipe that nobody reads yet would
// hold the launcher up, and nobody reads such a line anyway.
constexpr glong kLongestLineShown = 1000;

std::string shortenLongLines(std::string_view text)
{
    std::string shown;
    for (std::size_t start = 0;;) {
        std::size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
        glong length = g_utf8_strlen(line.data(), static_cast<gssize>(line.size()));
        if (length <= kLongestLineShown) {
            shown.append(line);
        } else {
            const char* headEnd = g_utf8_offset_to_pointer(line.data(), kLongestLineShown / 2 - 1);
            const char* tailStart = g_utf8_offset_to_pointer(line.data(), length - kLongestLineShown / 2);
            shown.append(line.data(), headEnd).append("…").append(tailStart, line.data() + line.size());
        }
        if (end == std::string_view::npos)
            return shown;
        shown += '\n';
        start = end + 1;
    }
}

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
    std::string headlineText(headline), explanationText = shortenLongLines(explanation);
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
