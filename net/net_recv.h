// The receive tasks: one table row per UDP channel of the terminal, and the
// one task body that runs any row. A channel waits, opens its socket in a
// retry loop, then receives forever into its own buffer and hands each
// datagram to its handler; a failed receive closes the socket (leaving a
// multicast group, for the announcements) and opens it again.
#ifndef PATERM_NET_NET_RECV_H
#define PATERM_NET_NET_RECV_H

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

// One datagram of n bytes in buf, sent from `from`. The buffer is reused for
// every datagram: a handler reads only the n bytes that arrived.
typedef void (*NetDatagramHandler)(const uint8_t* buf, size_t n, const sockaddr_in& from);

struct NetRecvChannel {
    const char* taskName;       // named in the start failure message
    uint32_t firstWaitMs;       // before the first socket
    int (*openSocket)(void);    // the socket, or -1
    void (*closeSocket)(int);   // after a failed receive
    uint32_t retryWaitMs;       // between attempts to open the socket
    bool waitAfterSuccess;      // the wait follows the successful attempt too
    bool reportReceiveError;    // print a failed receive (a time-out is no error)
    uint8_t* buffer;            // the task's own
    size_t bufferSize;          // at most bufferSize - 1 bytes are read
    bool clearBeforeReceive;    // zero the buffer before each receive
    NetDatagramHandler handle;
};

// The body of every receive task; the argument is its NetRecvChannel. Never returns.
void* NetRecvTask(void* channel);

// Receives one datagram on sock into the channel's buffer and hands it to the
// handler: false when the receive failed (nothing handed on).
bool NetRecvOne(const NetRecvChannel& channel, int sock);

#endif  // PATERM_NET_NET_RECV_H
