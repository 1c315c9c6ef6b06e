// The layer both web programs share: the JSON result answer, whole-block
// access to settings files and the EEPROM, the enable/disable words, and
// the CGI side of the local UDP channel to paterm.
#ifndef PATERM_CGI_CGICOMMON_H
#define PATERM_CGI_CGICOMMON_H

#include <cstddef>
#include <cstdint>

#include "player/settings.h"

typedef player_ext_opts_t cgi_player_ext_opts;

typedef enum {
    CGI_SUCCESS = 0,
    CGI_FAILED = 1,
    CGI_OPEN_FILE_FAILED = 2,
    CGI_WRITE_FILE_FAILED = 3,
    CGI_READ_FILE_FAILED = 4,
    CGI_NET_ADDR_ERROR = 5,
} cgi_result_t;

// Request types on the channel (byte 0 of a request datagram).
enum {
    PLAYER_CGI_MSG_TYPE_GET_SYS_STATE = 0,
    PLAYER_CGI_MSG_TYPE_SET_BRD_GRP = 1,
    PLAYER_CGI_MSG_TYPE_SYS_CTRL = 2,
    PLAYER_CGI_MSG_TYPE_SET_SYS_STATE = 3,
    PLAYER_CGI_MSG_TYPE_EXT_OPTS = 4,
};

constexpr uint16_t kPlayerCgiPort = 8690;  // paterm receives requests here
constexpr uint16_t kCgiReplyPort = 8691;   // a CGI program receives the state reply here
constexpr size_t kCgiSendBufSize = 512;    // type byte + at most 511 payload bytes

// "disable" (index 0) and "enable" (index 1).
extern const char* const enable_strs[2];

// "enable" when enabled is not 0, else "disable".
const char* int2enable(int enabled);

// Header "text/plain", then {"success":"true"} for CGI_SUCCESS or
// {"success":"false"} for any other result, with ,"msg":"..." before the
// closing brace when msg is not null. No line end follows.
void cgi_response_print(cgi_result_t res, const char* msg);

// A terminal path read or written as one block of `length` bytes: the read
// as fopen "r" would; the write replaces the whole file (a power cut leaves
// the old block or the new). CGI_OPEN_FILE_FAILED, CGI_READ_FILE_FAILED or
// CGI_WRITE_FILE_FAILED when the open or the whole block fails; a target
// that is no regular file is not replaced (CGI_WRITE_FILE_FAILED).
cgi_result_t cgi_read_file(const char* file_name, void* buf, size_t length);
cgi_result_t cgi_write_file(const char* file_name, const void* buf, size_t length);

// `length` bytes of "/dev/i2c-eeprom0" at byte `offset`. An open or seek
// failure gives CGI_OPEN_FILE_FAILED, a short transfer the read/write code.
cgi_result_t cgi_read_eeprom(int offset, void* buf, size_t length);
cgi_result_t cgi_write_eeprom(int offset, const void* buf, size_t length);

// Sends the request `cmd` + data_len bytes of p_data to 127.0.0.1:8690 and
// waits for nothing. Failures are silent; a request longer than the send
// buffer is not sent.
void SendDataToPlayerMgmt(uint8_t cmd, const uint8_t* p_data, uint32_t data_len);

// A UDP socket bound to 127.0.0.1:port with SO_REUSEADDR, or -1.
int CreatePlayerCgiUdpSock(uint16_t port);

// Discards the datagrams already waiting on sock without blocking; returns
// the last poll result (0 once nothing waits, -1 when the poll fails).
int FlushCgiRcvSocket(int sock);

#endif  // PATERM_CGI_CGICOMMON_H
