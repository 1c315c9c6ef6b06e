// The shared CGI layer: the JSON result answer, whole-block file and EEPROM
// access through the board seam, and the enable/disable words.
#include "cgi/cgicommon.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "board/board.h"
#include "board/durable_file.h"
#include "cgi/cgic_layer.h"
#include "cgi/scoped_fd.h"

const char* const enable_strs[2] = {"disable", "enable"};

namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;
using BoardFd = cgi::ScopedFd<board::Close>;

// The message sits inside a JSON string, so quotes, backslashes and control
// characters must not end or break it.
void PrintJsonText(const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p == '"' || *p == '\\')
            std::fprintf(cgiOut, "\\%c", *p);
        else if (*p < 0x20)
            std::fprintf(cgiOut, "\\u%04x", *p);
        else
            std::fputc(*p, cgiOut);
    }
}

bool BadBlock(const void* buf, size_t length) { return buf == nullptr && length != 0; }

// A descriptor of 0 or below counts as a failed open (the descriptor, if
// any, is still closed by its owner).
bool PositionedAt(int fd, int offset) {
    return fd > 0 && offset >= 0 && lseek(fd, offset, SEEK_SET) == static_cast<off_t>(offset);
}

}  // namespace

const char* int2enable(int enabled) { return enable_strs[enabled != 0 ? 1 : 0]; }

void cgi_response_print(cgi_result_t res, const char* msg) {
    cgiHeaderContentType("text/plain");
    std::fputs(res == CGI_SUCCESS ? "{\"success\":\"true\"" : "{\"success\":\"false\"", cgiOut);
    if (msg) {
        std::fputs(",\"msg\":\"", cgiOut);
        PrintJsonText(msg);
        std::fputc('"', cgiOut);
    }
    std::fputc('}', cgiOut);
}

cgi_result_t cgi_read_file(const char* file_name, void* buf, size_t length) {
    if (file_name == nullptr || BadBlock(buf, length)) return CGI_FAILED;
    FilePtr file(std::fopen(board::Path(file_name).c_str(), "r"));
    if (!file) return CGI_OPEN_FILE_FAILED;
    return std::fread(buf, 1, length, file.get()) == length ? CGI_SUCCESS : CGI_READ_FILE_FAILED;
}

// The file is replaced whole (written beside, flushed, renamed over): a
// power cut during the save leaves the old block or the new one.
cgi_result_t cgi_write_file(const char* file_name, const void* buf, size_t length) {
    if (file_name == nullptr || BadBlock(buf, length)) return CGI_FAILED;
    switch (board::ReplaceFile(file_name, buf, length, 0644)) {
        case board::ReplaceResult::kDone:
            return CGI_SUCCESS;
        case board::ReplaceResult::kCannotCreate:
            return CGI_OPEN_FILE_FAILED;
        case board::ReplaceResult::kNotWritten:
            break;
    }
    return CGI_WRITE_FILE_FAILED;
}

cgi_result_t cgi_read_eeprom(int offset, void* buf, size_t length) {
    if (BadBlock(buf, length)) return CGI_FAILED;
    BoardFd fd(board::Open(kEepromPath, O_RDONLY));
    if (!PositionedAt(fd.Get(), offset)) return CGI_OPEN_FILE_FAILED;
    const ssize_t rd_len = board::Read(fd.Get(), buf, length);
    return rd_len >= 0 && static_cast<size_t>(rd_len) == length ? CGI_SUCCESS : CGI_READ_FILE_FAILED;
}

cgi_result_t cgi_write_eeprom(int offset, const void* buf, size_t length) {
    if (BadBlock(buf, length)) return CGI_FAILED;
    BoardFd fd(board::Open(kEepromPath, O_WRONLY));
    if (!PositionedAt(fd.Get(), offset)) return CGI_OPEN_FILE_FAILED;
    const ssize_t wrt_len = board::Write(fd.Get(), buf, length);
    return wrt_len >= 0 && static_cast<size_t>(wrt_len) == length ? CGI_SUCCESS : CGI_WRITE_FILE_FAILED;
}
