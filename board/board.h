// The board seam: the one place that knows whether the program runs on the
// terminal or on a PC. Every access to the terminal's filesystem, devices,
// kernel event socket, wall clock and shell goes through these calls.
//
// On the terminal (board "lpc3250") each call is the plain Linux call with
// the terminal's own paths. On a PC (board "sim") paths live under a board
// root directory and devices are served by the simulated board (paterm-sim);
// see docs/board.md.
//
// Callers keep printing the terminal's paths in their messages; only the
// path handed to the operating system is mapped.
#ifndef PATERM_BOARD_BOARD_H
#define PATERM_BOARD_BOARD_H

#include <sys/time.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace board {

// The path to hand to the operating system for a terminal path such as
// "/opt/lpc3250/chncfg" or "/mmc/01a". Relative paths are returned unchanged.
std::string Path(const char* terminalPath);

// Device and file descriptors. Read, Write, Ioctl and Close must be used on
// a descriptor from Open so that simulated devices see every operation.
// Results and errno follow the Linux calls they stand for. Every descriptor
// of the seam (Open and NetlinkSocket) is close-on-exec, whatever the flags:
// no child of System inherits the watchdog.
//
// select and poll work on real descriptors only: files, devices the board
// hands over as real descriptors (the EEPROM file; the serial panel's pty
// slave) and netlink sockets. A device session (the watchdog, "/dev/vs10xx",
// "/dev/nOrv_ctrl", "/dev/dsp" on a PC) is a request/reply connection that
// never becomes readable: do not select on it. Close of a session returns
// once the board has released the device, as close(2) after a driver's
// release.
int Open(const char* terminalPath, int flags, mode_t mode = 0);
int Close(int fd);
ssize_t Read(int fd, void* buf, size_t count);
ssize_t Write(int fd, const void* buf, size_t count);
int Ioctl(int fd, unsigned long request, void* arg);
// access(2) on a terminal path (used for "/dev/mmcblk0p1", the card's presence).
int Access(const char* terminalPath, int mode);

// Netlink sockets: protocol 21 is the terminal's kernel events (on a PC the
// simulated board's, refused with EPROTONOSUPPORT when no board runs); any
// other protocol (NETLINK_ROUTE) is a real socket of the network namespace
// the program runs in. Bind uses the given port id and no multicast groups;
// Send goes to the kernel (port id 0); Recv is recvmsg into one buffer.
int NetlinkSocket(int protocol);
int NetlinkBind(int fd, uint32_t portId);
ssize_t NetlinkSend(int fd, const void* buf, size_t len);
ssize_t NetlinkRecv(int fd, void* buf, size_t len);
// NetlinkRecv that also tells the sender's port id (0: the kernel).
ssize_t NetlinkRecvFrom(int fd, void* buf, size_t len, uint32_t* senderPort);

// The wall clock (gettimeofday / settimeofday).
int GetTimeOfDay(struct timeval* tv);
int SetTimeOfDay(const struct timeval* tv);

// Runs a shell command line as system(3) would and returns its status.
int System(const char* commandLine);

// Puts every written file on the flash, as sync(2) (on a PC: the board
// root's filesystem). 0, or -1 with errno.
int Sync();

}  // namespace board

#endif  // PATERM_BOARD_BOARD_H
