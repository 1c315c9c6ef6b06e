// seam_probe: a stand-in for the terminal's program in the board's tests.
// It uses only the board seam, and does what a script in the board root
// tells it, one command a line: "/opt/probe/script.N" on its N-th start
// (counted in "/opt/probe/boots"), else "/opt/probe/script". It reports on
// standard output, one "probe: ..." line per step, which the board copies
// to DIR/sim/console.log. Commands:
//   print TEXT | print-crlf TEXT ("probe: TEXT\r\n" through stdio, never
//   flushed: it shows only if the console is a tty) | console-tty | eeprom | open PATH | watchdog-open | watchdog-timeout N |
//   watchdog-gettimeout | watchdog-bad-ioctl | feed COUNT MS | feed-forever MS |
//   magic-close | close | system LINE | settime SEC | gettime | netlink |
//   write PATH TEXT | exists PATH | sleep MS | hang | exit N |
//   ctrl-register (opens /dev/nOrv_ctrl, registers this process, keeps it open) |
//   ctrl-ioctl NUMBER (that request on it, with this process id as argument) |
//   netlink-records N (binds a netlink socket to this process id, prints N records) |
//   play PATH (writes the file to /dev/vs10xx in 4096-byte blocks, then closes)
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/watchdog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "board/board.h"

namespace {

int gWatchdog = -1;
int gControl = -1;

void Say(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::printf("probe: ");
    std::vprintf(format, args);
    std::printf("\n");
    va_end(args);
    std::fflush(stdout);
}

std::string ReadTerminalFile(const char* path) {
    std::string text;
    int fd = board::Open(path, O_RDONLY);
    if (fd < 0) return text;
    char chunk[512];
    ssize_t n;
    while ((n = board::Read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
    board::Close(fd);
    return text;
}

// Counts this start in "/opt/probe/boots" (one byte per start).
int CountBoot() {
    int fd = board::Open("/opt/probe/boots", O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return 0;
    board::Write(fd, "x", 1);
    board::Close(fd);
    return static_cast<int>(ReadTerminalFile("/opt/probe/boots").size());
}

void SleepMs(long ms) { usleep(static_cast<useconds_t>(ms) * 1000); }

void Eeprom() {
    int fd = board::Open("/dev/i2c-eeprom0", O_RDONLY);
    if (fd < 0) return Say("eeprom open failed errno=%d", errno);
    unsigned char bytes[48] = {};
    ssize_t n = board::Read(fd, bytes, sizeof bytes);
    board::Close(fd);
    Say("eeprom read=%zd id=%.10s flag=%u server=%02x%02x%02x%02x", n, reinterpret_cast<char*>(bytes), bytes[16],
        bytes[44], bytes[45], bytes[46], bytes[47]);
}

void ControlRegister() {
    gControl = board::Open("/dev/nOrv_ctrl", O_RDWR);
    if (gControl < 0) return Say("ctrl-register open failed errno=%d", errno);
    int pid = getpid();
    int rc = board::Ioctl(gControl, 0x40047800, &pid);
    Say("ctrl-register rc=%d errno=%d pid=%d", rc, rc < 0 ? errno : 0, pid);
}

void ControlIoctl(unsigned long request) {
    int pid = getpid();
    int rc = board::Ioctl(gControl, request, &pid);
    Say("ctrl-ioctl 0x%lx rc=%d errno=%d", request, rc, rc < 0 ? errno : 0);
}

void NetlinkRecords(long count) {
    int fd = board::NetlinkSocket(21);
    if (fd < 0) return Say("netlink socket failed errno=%d", errno);
    uint32_t port = static_cast<uint32_t>(getpid());
    if (board::NetlinkBind(fd, port) != 0) return Say("netlink bind failed errno=%d", errno);
    struct nlmsghdr hello = {};
    hello.nlmsg_len = sizeof hello;
    hello.nlmsg_pid = port;
    board::NetlinkSend(fd, &hello, sizeof hello);
    Say("netlink ready port=%u", port);
    for (long i = 0; i < count; ++i) {
        unsigned char buf[8208] = {};
        ssize_t n = board::NetlinkRecv(fd, buf, sizeof buf);
        Say("netlink record len=%zd type=%u value=%u", n, buf[16], buf[17]);
    }
    board::Close(fd);
}

void Play(const std::string& path) {
    int file = board::Open(path.c_str(), O_RDONLY);
    if (file < 0) return Say("play cannot open %s errno=%d", path.c_str(), errno);
    int decoder = board::Open("/dev/vs10xx", O_WRONLY);
    if (decoder < 0) {
        Say("play open /dev/vs10xx failed errno=%d", errno);
        board::Close(file);
        return;
    }
    std::vector<char> block(4096);
    long bytes = 0;
    int writes = 0, rc = 0, error = 0;
    ssize_t n;
    while ((n = board::Read(file, block.data(), block.size())) > 0) {
        ssize_t w = board::Write(decoder, block.data(), static_cast<size_t>(n));
        if (w < 0) {
            rc = -1;
            error = errno;
            break;
        }
        bytes += w;
        ++writes;
    }
    board::Close(decoder);
    board::Close(file);
    Say("play bytes=%ld writes=%d rc=%d errno=%d", bytes, writes, rc, error);
}

void Run(const std::string& command, const std::string& rest) {
    long n = std::atol(rest.c_str());
    if (command == "print") {
        Say("%s", rest.c_str());
    } else if (command == "print-crlf") {
        std::printf("probe: %s\r\n", rest.c_str());
    } else if (command == "console-tty") {
        Say("console-tty in=%d out=%d err=%d", isatty(STDIN_FILENO), isatty(STDOUT_FILENO), isatty(STDERR_FILENO));
    } else if (command == "eeprom") {
        Eeprom();
    } else if (command == "open") {
        int fd = board::Open(rest.c_str(), O_RDWR);
        Say("open %s rc=%d errno=%d", rest.c_str(), fd < 0 ? -1 : 0, fd < 0 ? errno : 0);
        if (fd >= 0) board::Close(fd);
    } else if (command == "watchdog-open") {
        gWatchdog = board::Open("/dev/watchdog", O_RDWR);
        Say("watchdog-open rc=%d errno=%d", gWatchdog < 0 ? -1 : 0, gWatchdog < 0 ? errno : 0);
    } else if (command == "watchdog-timeout") {
        int value = static_cast<int>(n);
        int rc = board::Ioctl(gWatchdog, WDIOC_SETTIMEOUT, &value);
        Say("watchdog-timeout rc=%d value=%d", rc, value);
    } else if (command == "watchdog-gettimeout") {
        int value = -1;
        int rc = board::Ioctl(gWatchdog, WDIOC_GETTIMEOUT, &value);
        Say("watchdog-gettimeout rc=%d value=%d", rc, value);
    } else if (command == "watchdog-bad-ioctl") {
        int value = 0;
        int rc = board::Ioctl(gWatchdog, _IOR('W', 99, int), &value);
        Say("watchdog-bad-ioctl rc=%d errno=%d", rc, rc < 0 ? errno : 0);
    } else if (command == "feed") {
        long count = n, ms = std::atol(rest.substr(rest.find(' ') + 1).c_str());
        int fed = 0;
        for (long i = 0; i < count; ++i) {
            char zero = 0;
            if (board::Write(gWatchdog, &zero, 1) == 1) ++fed;
            SleepMs(ms);
        }
        Say("fed %d", fed);
    } else if (command == "feed-forever") {
        for (unsigned long i = 1;; ++i) {  // ends with the process, by a reset or a stop
            char zero = 0;
            ssize_t rc = board::Write(gWatchdog, &zero, 1);
            Say("feed %lu rc=%zd", i, rc);
            SleepMs(n);
        }
    } else if (command == "magic-close") {
        board::Write(gWatchdog, "V", 1);
        Say("magic-close rc=%d", board::Close(gWatchdog));
        gWatchdog = -1;
    } else if (command == "close") {
        Say("close rc=%d", board::Close(gWatchdog));
        gWatchdog = -1;
    } else if (command == "system") {
        Say("system \"%s\" status=%d", rest.c_str(), board::System(rest.c_str()));
    } else if (command == "settime") {
        struct timeval tv = {static_cast<time_t>(n), 0};
        Say("settime rc=%d", board::SetTimeOfDay(&tv));
    } else if (command == "gettime") {
        struct timeval tv = {};
        int rc = board::GetTimeOfDay(&tv);
        Say("gettime rc=%d sec=%lld", rc, static_cast<long long>(tv.tv_sec));
    } else if (command == "netlink") {
        NetlinkRecords(1);
    } else if (command == "write") {
        std::string path = rest.substr(0, rest.find(' '));
        std::string text = rest.substr(path.size() + (path.size() < rest.size() ? 1 : 0));
        int fd = board::Open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ssize_t w = fd < 0 ? -1 : board::Write(fd, text.data(), text.size());
        if (fd >= 0) board::Close(fd);
        Say("write %s rc=%zd", path.c_str(), w);
    } else if (command == "exists") {
        Say("exists %s %s", rest.c_str(), board::Access(rest.c_str(), F_OK) == 0 ? "yes" : "no");
    } else if (command == "ctrl-register") {
        ControlRegister();
    } else if (command == "ctrl-ioctl") {
        ControlIoctl(std::strtoul(rest.c_str(), nullptr, 0));
    } else if (command == "netlink-records") {
        NetlinkRecords(n);
    } else if (command == "play") {
        Play(rest);
    } else if (command == "sleep") {
        SleepMs(n);
    } else if (command == "hang") {
        for (;;) pause();  // until the board kills the process
    } else if (command == "exit") {
        Say("exit %ld", n);
        std::exit(static_cast<int>(n));
    } else {
        Say("unknown command %s", command.c_str());
    }
}

}  // namespace

int main() {
    int boot = CountBoot();
    Say("boot %d", boot);
    std::string script = ReadTerminalFile(("/opt/probe/script." + std::to_string(boot)).c_str());
    if (script.empty()) script = ReadTerminalFile("/opt/probe/script");
    size_t pos = 0;
    while (pos < script.size()) {
        size_t end = script.find('\n', pos);
        if (end == std::string::npos) end = script.size();
        std::string line = script.substr(pos, end - pos);
        pos = end + 1;
        if (line.empty() || line[0] == '#') continue;
        size_t blank = line.find(' ');
        Run(line.substr(0, blank), blank == std::string::npos ? "" : line.substr(blank + 1));
    }
    Say("done");
    for (;;) pause();  // a terminal program never ends by itself; "exit N" does that
}
