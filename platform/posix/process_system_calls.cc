#include "platform/posix/process_system_calls.hh"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#if __has_include(<xlocale.h>)
#include <xlocale.h> // uselocale on macOS; glibc has it in <locale.h>
#endif

// What this system offers beyond POSIX, found by the build (each is 0 when
// QUILLARY_PORTABLE_PROCESS builds the road taken where it is missing):
// QUILLARY_HAVE_PIPE2, QUILLARY_HAVE_PIPE_SIZE (F_GETPIPE_SZ, Linux only),
// QUILLARY_HAVE_STRERROR_L (not on macOS).

namespace quillary {

namespace {

// A read of at most this much: pipes are usually 64 KiB, and a server may
// have made its own larger.
[[maybe_unused]] constexpr std::size_t kLargestRead = 1 << 20;

// strerror_r comes in two kinds: the XSI one returns a status, the GNU one
// the text (which may or may not be in the buffer).
[[maybe_unused]] const char* errorText(int status, const char* buffer)
{
    return status == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* errorText(const char* text, const char*)
{
    return text;
}

// The system's description of an error in the language of `locale`, in
// that locale's character set.
std::string describe(int error, locale_t locale)
{
#if QUILLARY_HAVE_STRERROR_L
    return ::strerror_l(error, locale);
#else
    // The locale for this thread only, for as long as it takes.
    locale_t previous = ::uselocale(locale);
    char buffer[256] = "";
    const char* described = errorText(::strerror_r(error, buffer, sizeof buffer), buffer);
    std::string text = described ? described : std::strerror(error);
    ::uselocale(previous);
    return text;
#endif
}

// The text in UTF-8, from the character set it is in (a locale's need not
// be UTF-8: ru_RU.KOI8-R, say); none if it does not convert. The launcher's
// texts are UTF-8 everywhere, and so the alert's must be, or they show
// replacement characters.
std::optional<std::string> inUtf8(const std::string& text, const char* characterSet)
{
    iconv_t conversion = ::iconv_open("UTF-8", characterSet);
    if (conversion == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::string converted(text.size() * 4, '\0'); // no character takes more
    char* in = const_cast<char*>(text.data());
    char* out = converted.data();
    std::size_t inLeft = text.size(), outLeft = converted.size();
    bool whole = ::iconv(conversion, &in, &inLeft, &out, &outLeft) != static_cast<std::size_t>(-1) &&
                 ::iconv(conversion, nullptr, nullptr, &out, &outLeft) != static_cast<std::size_t>(-1);
    ::iconv_close(conversion);
    if (!whole)
        return std::nullopt;
    converted.resize(converted.size() - outLeft);
    return converted;
}

// Moves a descriptor off 0, 1 and 2: the descriptor, or -1 with errno set.
int aboveStandardStreams(int fd)
{
    if (fd > STDERR_FILENO)
        return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    int error = errno;
    ::close(fd);
    errno = error;
    return moved;
}

// A pipe whose ends are both close-on-exec: 0, or -1 with errno set. Without
// pipe2 there is a moment when the ends are not close-on-exec; it does no
// harm, as the launcher starts processes from its main thread only, and this
// runs there.
int closeOnExecPipe(int fds[2])
{
#if QUILLARY_HAVE_PIPE2
    return ::pipe2(fds, O_CLOEXEC);
#else
    if (::pipe(fds) < 0)
        return -1;
    for (int i : {0, 1}) {
        if (::fcntl(fds[i], F_SETFD, FD_CLOEXEC) < 0) {
            int error = errno;
            ::close(fds[0]);
            ::close(fds[1]);
            errno = error;
            return -1;
        }
    }
    return 0;
#endif
}

} // namespace

sigset_t everySignal()
{
    sigset_t all;
    std::memset(&all, 0xFF, sizeof all);
    return all;
}

int openPipe(UniqueDescriptor& readEnd, UniqueDescriptor& writeEnd)
{
    int fds[2];
    if (closeOnExecPipe(fds) < 0)
        return errno;
    readEnd.reset(aboveStandardStreams(fds[0]));
    int readEndError = errno; // before the second move can overwrite it
    writeEnd.reset(aboveStandardStreams(fds[1]));
    if (readEnd.get() < 0)
        return readEndError;
    return writeEnd.get() < 0 ? errno : 0;
}

// The pipe's capacity, where the system tells it: one read takes all of it.
std::size_t readSize(int pipe)
{
#if QUILLARY_HAVE_PIPE_SIZE
    int capacity = ::fcntl(pipe, F_GETPIPE_SZ);
    if (capacity > 0)
        return std::min<std::size_t>(static_cast<std::size_t>(capacity), kLargestRead);
#else
    (void)pipe; // macOS grows a busy pipe to 64 KiB and says nothing of it
#endif
    return 65536;
}

std::string describeError(int error)
{
    locale_t untranslated = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    locale_t locale = ::newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0));
    std::optional<std::string> text;
    if (locale)
        text = inUtf8(describe(error, locale), ::nl_langinfo_l(CODESET, locale));
    if (!text) // no locale, or a text that does not convert
        text = untranslated ? describe(error, untranslated) : std::string(std::strerror(error));
    for (locale_t made : {locale, untranslated})
        if (made)
            ::freelocale(made);
    return *text;
}

} // namespace quillary
