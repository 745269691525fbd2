// quillary-bin, the sample server: a small web page on the loopback
// interface, served the way the launcher expects its server to behave. It
// announces its port in one line on stdout, ends with status 0 on SIGTERM or
// SIGINT, and when it cannot start it says why in a line on stderr and exits
// non-zero, so that the launcher's alert has something to show.
#include <glib-unix.h>
#include <libsoup/soup.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The application's name, as the build gives it to the launcher too.
constexpr std::string_view kAppName = QUILLARY_APP_NAME;
// Set to "1" by the launcher that starts this server; the page says so.
constexpr const char* kLauncherVariable = "QUILLARY_APP";

// The launcher looks for "порт", one space and digits; nothing printed before
// this line may look like that.
constexpr std::string_view kAnnouncement = "Quillary: веб-интерфейс слушает порт ";
constexpr std::string_view kCannotListen = "Quillary: не удалось открыть порт для веб-интерфейса: ";
constexpr std::string_view kCannotAnnounce = "Quillary: не удалось сообщить адрес веб-интерфейса: ";

constexpr std::string_view kUnderLauncher = "Сервер запущен лаунчером Quillary и завершится вместе с ним.";
constexpr std::string_view kStandalone = "Сервер запущен сам по себе, без лаунчера Quillary.";

// How many ports to try when the one the kernel gave on 127.0.0.1 is taken on ::1.
constexpr int kListenAttempts = 5;

struct Page {
    gint64 startedAt; // g_get_monotonic_time() at start
    bool underLauncher;
};

std::string formatUptime(long long seconds)
{
    char text[48];
    long long hours = seconds / 3600, minutes = seconds / 60 % 60, rest = seconds % 60;
    if (hours)
        std::snprintf(text, sizeof text, "%lld ч %02lld мин %02lld с", hours, minutes, rest);
    else if (minutes)
        std::snprintf(text, sizeof text, "%lld мин %02lld с", minutes, rest);
    else
        std::snprintf(text, sizeof text, "%lld с", rest);
    return text;
}

constexpr std::string_view kHead = R"html(<!doctype html>
<html lang="ru">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="color-scheme" content="light dark">
)html";

constexpr std::string_view kStyle = R"html(<style>
  :root { --bg: #f5f4f0; --card: #fff; --text: #1d2126; --muted: #5e6670; --accent: #2f67a8; --line: #e1ded7; }
  @media (prefers-color-scheme: dark) {
    :root { --bg: #15171b; --card: #1e2126; --text: #e6e5e1; --muted: #9aa2ad; --accent: #82b3ec; --line: #2d3138; }
  }
  * { box-sizing: border-box; }
  body { margin: 0; min-height: 100vh; display: grid; place-items: center; background: var(--bg);
         color: var(--text); font: 16px/1.55 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; }
  main { width: min(34rem, calc(100% - 2rem)); padding: 2rem 2.25rem; background: var(--card);
         border: 1px solid var(--line); border-radius: 14px; box-shadow: 0 2px 10px rgb(0 0 0 / 6%); }
  h1 { margin: 0 0 .75rem; font-size: 1.8rem; letter-spacing: -.01em; color: var(--accent); }
  p { margin: .5rem 0 0; }
  .uptime { color: var(--muted); font-variant-numeric: tabular-nums; }
</style>
</head>
<body>
<main>
)html";

// Counts on from the server's figure; the server's clock stays the reference,
// so a page opened much later still starts from the right time.
constexpr std::string_view kTail = R"html(</main>
<script>
  const uptime = document.getElementById("uptime");
  const start = Date.now() - Number(uptime.dataset.seconds) * 1000;
  const two = (n) => String(n).padStart(2, "0");
  setInterval(() => {
    const s = Math.floor((Date.now() - start) / 1000);
    const h = Math.floor(s / 3600), m = Math.floor(s / 60) % 60, r = s % 60;
    uptime.textContent = h ? `${h} ч ${two(m)} мин ${two(r)} с` : m ? `${m} мин ${two(r)} с` : `${r} с`;
  }, 1000);
</script>
</body>
</html>
)html";

std::string renderPage(const Page& page)
{
    long long seconds = (g_get_monotonic_time() - page.startedAt) / G_USEC_PER_SEC;
    std::string html(kHead);
    html.append("<title>").append(kAppName).append("</title>\n").append(kStyle);
    html.append("<h1>").append(kAppName).append("</h1>\n<p>");
    html.append(page.underLauncher ? kUnderLauncher : kStandalone);
    html.append("</p>\n<p class=\"uptime\">Работает уже <span id=\"uptime\" data-seconds=\"");
    html.append(std::to_string(seconds)).append("\">").append(formatUptime(seconds)).append("</span></p>\n");
    html.append(kTail);
    return html;
}

void respond(SoupServerMessage* message, guint status, const char* contentType, std::string_view body)
{
    soup_server_message_set_status(message, status, nullptr);
    soup_server_message_set_response(message, contentType, SOUP_MEMORY_COPY, body.data(), body.size());
}

void handleRequest(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*, gpointer data)
{
    std::string_view method = soup_server_message_get_method(message);
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(message);
    constexpr const char* kPlainText = "text/plain; charset=utf-8";
    // libsoup leaves the body out of HEAD responses by itself.
    if (method != "GET" && method != "HEAD") {
        soup_message_headers_replace(headers, "Allow", "GET, HEAD");
        respond(message, SOUP_STATUS_METHOD_NOT_ALLOWED, kPlainText, "Метод не поддерживается.\n");
    } else if (std::string_view(path) != "/") {
        respond(message, SOUP_STATUS_NOT_FOUND, kPlainText, "Страница не найдена.\n");
    } else {
        // The page shows the time of the request: never a cached copy.
        soup_message_headers_replace(headers, "Cache-Control", "no-store");
        respond(message, SOUP_STATUS_OK, "text/html; charset=utf-8", renderPage(*static_cast<const Page*>(data)));
    }
}

// A kernel without IPv6 refuses the socket, and one with IPv6 disabled has no
// ::1 to bind. GIO reports the second only as G_IO_ERROR_FAILED, which would
// also cover faults that must stop the server, so the kernel is asked directly.
bool ipv6LoopbackMissing()
{
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno == EAFNOSUPPORT;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    bool missing = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno == EADDRNOTAVAIL;
    close(fd);
    return missing;
}

bool listenOn(SoupServer* server, GSocketFamily family, guint16 port, GError** error)
{
    g_autoptr(GInetAddress) loopback = g_inet_address_new_loopback(family);
    g_autoptr(GSocketAddress) address = g_inet_socket_address_new(loopback, port);
    return soup_server_listen(server, address, SoupServerListenOptions(0), error);
}

// The port of the server's one listener, or 0 on error.
guint16 onlyListenerPort(SoupServer* server, GError** error)
{
    GSList* listeners = soup_server_get_listeners(server);
    g_autoptr(GSocketAddress) address = g_socket_get_local_address(G_SOCKET(listeners->data), error);
    g_slist_free(listeners);
    return address ? g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(address)) : 0;
}

// Listens on 127.0.0.1 and ::1 with the same port, so that localhost reaches
// the server whichever of them it resolves to. Should another program hold
// the kernel's IPv4 choice on ::1, a browser could land there instead: start
// over with a new port rather than serve half of localhost. Returns 0 on error.
guint16 listenOnLoopback(SoupServer* server, GError** error)
{
    for (int attempt = 1;; ++attempt) {
        if (!listenOn(server, G_SOCKET_FAMILY_IPV4, 0, error))
            return 0;
        guint16 port = onlyListenerPort(server, error);
        if (!port)
            return 0;
        g_autoptr(GError) ipv6Error = nullptr;
        if (listenOn(server, G_SOCKET_FAMILY_IPV6, port, &ipv6Error) || ipv6LoopbackMissing())
            return port;
        soup_server_disconnect(server);
        if (attempt == kListenAttempts || !g_error_matches(ipv6Error, G_IO_ERROR, G_IO_ERROR_ADDRESS_IN_USE)) {
            g_propagate_error(error, g_steal_pointer(&ipv6Error));
            return 0;
        }
    }
}

// One write(2) for the whole line: a reader never sees half of it, and
// nothing waits in a stdio buffer when stdout is a pipe. Returns 0 or an errno.
int writeLine(int fd, std::string line)
{
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    line += '\n';
    ssize_t written;
    do
        written = write(fd, line.data(), line.size());
    while (written < 0 && errno == EINTR);
    if (written < 0)
        return errno;
    return written == static_cast<ssize_t>(line.size()) ? 0 : EIO;
}

gboolean quit(gpointer loop)
{
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_CONTINUE;
}

} // namespace

int main()
{
    std::setlocale(LC_ALL, ""); // system error messages in the user's language
    const char* launcherFlag = std::getenv(kLauncherVariable);
    Page page{g_get_monotonic_time(), launcherFlag && std::string_view(launcherFlag) == "1"};

    // Handlers first, so that a signal sent as soon as the port is out is
    // never met by the default action.
    g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(SIGTERM, quit, loop);
    g_unix_signal_add(SIGINT, quit, loop);

    g_autoptr(SoupServer) server = soup_server_new("server-header", QUILLARY_APP_NAME " ", nullptr);
    soup_server_add_handler(server, nullptr, handleRequest, &page, nullptr);

    g_autoptr(GError) error = nullptr;
    guint16 port = listenOnLoopback(server, &error);
    if (!port) {
        writeLine(STDERR_FILENO, std::string(kCannotListen) + error->message);
        return EXIT_FAILURE;
    }
    if (int failure = writeLine(STDOUT_FILENO, std::string(kAnnouncement) + std::to_string(port))) {
        writeLine(STDERR_FILENO, std::string(kCannotAnnounce) + g_strerror(failure));
        return EXIT_FAILURE;
    }

    g_main_loop_run(loop);
    soup_server_disconnect(server);
    return EXIT_SUCCESS;
}
