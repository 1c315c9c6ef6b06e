// The terminal's side of the CGI channel: requests from the web server's CGI
// programs arrive on 127.0.0.1:8690 and become player messages; the state
// reply goes to 127.0.0.1:8691.
#ifndef PATERM_NET_CGI_CHANNEL_H
#define PATERM_NET_CGI_CHANNEL_H

#include <cstddef>
#include <cstdint>

// Request types: byte 0 of a request datagram, the payload follows.
enum : uint8_t {
    PLAYER_CGI_MSG_TYPE_GET_SYS_STATE = 0,
    PLAYER_CGI_MSG_TYPE_SET_BRD_GRP = 1,
    PLAYER_CGI_MSG_TYPE_SYS_CTRL = 2,
    PLAYER_CGI_MSG_TYPE_SET_SYS_STATE = 3,
    PLAYER_CGI_MSG_TYPE_EXT_OPTS = 4,
};

// The largest record SendDataToCgi takes (one more byte follows it).
constexpr size_t kCgiReplyMax = 511;

// One request datagram of n bytes. Every CGI program sends exactly its
// type's byte and payload; a datagram of any other length is junk on the
// channel and is dropped (nor are the receive buffer's older bytes ever
// taken for a short one's payload).
void CgiInfoHandle(const uint8_t* buf, size_t n);

// Sends len bytes of data and one zero byte to 127.0.0.1:8691 from a socket of
// its own. Nothing is reported; a record longer than kCgiReplyMax is not sent.
void SendDataToCgi(const void* data, size_t len);

#endif  // PATERM_NET_CGI_CHANNEL_H
