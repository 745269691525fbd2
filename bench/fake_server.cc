// The benchmark's server, driven by the FAKE_SERVER variable:
// steps separated by ';', each "name" or "name:argument". Arguments take the
// escapes \n \r \t \\ and \xHH (so \x3b is a ';').
//
//   out:TEXT / err:TEXT   write TEXT and a line feed to stdout / stderr, in one write
//   raw:TEXT              write TEXT to stdout as it is
//   exit:N                exit with status N
//   kill:SIGNAL           end by the signal of that number
//   sleep:MS              sleep
//   wait                  sleep until a signal ends the process
//   ignore-term           ignore SIGTERM
//   on-term:PATH          on each SIGTERM append a line to PATH and go on
//   on-term-exit:PATH     on SIGTERM append a line to PATH and exit 0
//   env / fds / sigstatus print the environment, the open descriptors,
//                         the SigBlk and SigIgn lines of /proc/self/status
//   grandchild:MS         fork a process that holds stdout for MS ms
//   close-output          close stdout and stderr
//   flood:BYTES           write BYTES of 100-byte lines as fast as possible
//   long:BYTES            write BYTES of one line, with no line end
//   on-term-talk:PATH     on SIGTERM append a line to PATH, write 1 MiB and exit 0
//   mark:PATH             write the monotonic clock (ns) and the pid to PATH
//   await:PATH            wait until PATH exists
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

const char* termLog = nullptr;
bool exitOnTerm = false;
bool talkOnTerm = false;

void writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

void onTerm(int)
{
    int fd = open(termLog, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        writeAll(fd, "TERM\n");
        close(fd);
    }
    if (talkOnTerm) {
        static char words[1 << 20];
        memset(words, 'w', sizeof words);
        writeAll(1, std::string_view(words, sizeof words));
    }
    if (exitOnTerm || talkOnTerm)
        _exit(0);
}

std::string unescape(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        if (c == 'n')
            out += '\n';
        else if (c == 'r')
            out += '\r';
        else if (c == 't')
            out += '\t';
        else if (c == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return out;
}

void sleepMs(long ms)
{
    timespec t{ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&t, &t) < 0 && errno == EINTR) {
    }
}

void run(std::string_view name, const std::string& argument)
{
    if (name == "out")
        writeAll(1, argument + "\n");
    else if (name == "err")
        writeAll(2, argument + "\n");
    else if (name == "raw")
        writeAll(1, argument);
    else if (name == "exit")
        _exit(std::atoi(argument.c_str()));
    else if (name == "kill") {
        int signal = std::atoi(argument.c_str());
        std::signal(signal, SIG_DFL);
        raise(signal);
    } else if (name == "sleep")
        sleepMs(std::atol(argument.c_str()));
    else if (name == "wait")
        for (;;)
            pause();
    else if (name == "ignore-term")
        std::signal(SIGTERM, SIG_IGN);
    else if (name == "on-term" || name == "on-term-exit" || name == "on-term-talk") {
        termLog = strdup(argument.c_str());
        exitOnTerm = name == "on-term-exit";
        talkOnTerm = name == "on-term-talk";
        struct sigaction action {};
        action.sa_handler = onTerm;
        sigaction(SIGTERM, &action, nullptr);
    } else if (name == "env") {
        for (char** variable = environ; *variable; ++variable)
            writeAll(1, std::string(*variable) + "\n");
    } else if (name == "fds") {
        std::string list = "fds:";
        DIR* dir = opendir("/proc/self/fd");
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != dirfd(dir))
                list += std::string(" ") + entry->d_name;
        }
        closedir(dir);
        writeAll(1, list + "\n");
    } else if (name == "sigstatus") {
        FILE* status = fopen("/proc/self/status", "r");
        char line[256];
        while (fgets(line, sizeof line, status)) {
            if (!strncmp(line, "SigBlk:", 7) || !strncmp(line, "SigIgn:", 7))
                writeAll(1, line);
        }
        fclose(status);
    } else if (name == "grandchild") {
        if (fork() == 0) {
            sleepMs(std::atol(argument.c_str()));
            _exit(0);
        }
    } else if (name == "close-output") {
        close(1);
        close(2);
    } else if (name == "flood") {
        std::string block;
        std::string line(99, 'x');
        line += '\n';
        while (block.size() < 65536 - 100)
            block += line;
        long long left = std::atoll(argument.c_str());
        while (left > 0) {
            std::size_t n = left < static_cast<long long>(block.size()) ? static_cast<std::size_t>(left) : block.size();
            writeAll(1, std::string_view(block).substr(0, n));
            left -= static_cast<long long>(n);
        }
    } else if (name == "long") {
        std::string block(65536, 'x');
        for (long long left = std::atoll(argument.c_str()); left > 0; left -= static_cast<long long>(block.size()))
            writeAll(1, std::string_view(block).substr(0, static_cast<std::size_t>(std::min<long long>(left, 65536))));
    } else if (name == "mark") {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        FILE* out = fopen(argument.c_str(), "w");
        fprintf(out, "%lld %d\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec, getpid());
        fclose(out);
    } else if (name == "await") {
        while (access(argument.c_str(), F_OK) != 0)
            sleepMs(5);
    } else {
        writeAll(2, "fake_server: unknown step " + std::string(name) + "\n");
        _exit(125);
    }
}

} // namespace

int main()
{
    const char* script = std::getenv("FAKE_SERVER");
    std::string_view steps = script ? script : "";
    while (!steps.empty()) {
        std::size_t end = steps.find(';');
        std::string_view step = steps.substr(0, end);
        steps = end == std::string_view::npos ? std::string_view() : steps.substr(end + 1);
        std::size_t colon = step.find(':');
        run(step.substr(0, colon), colon == std::string_view::npos ? std::string() : unescape(step.substr(colon + 1)));
    }
    return 0;
}
