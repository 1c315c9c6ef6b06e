// ScopedFd: owns one descriptor and closes it once with the close call that
// matches how it was opened (board::Close for the board seam, ::close for
// sockets), so no return path of the CGI layer leaks one.
#ifndef PATERM_CGI_SCOPED_FD_H
#define PATERM_CGI_SCOPED_FD_H

#include <utility>

namespace cgi {

template <int (*CloseFn)(int)>
class ScopedFd {
public:
    explicit ScopedFd(int fd) : fd_(fd) {}
    ~ScopedFd() {
        if (fd_ >= 0) CloseFn(fd_);
    }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;

    int Get() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

}  // namespace cgi

#endif  // PATERM_CGI_SCOPED_FD_H
