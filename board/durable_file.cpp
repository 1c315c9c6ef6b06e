// Replacing files so that a power cut leaves the old or the new one: write
// beside, fsync, rename over, fsync the directory.
#include "board/durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "board/board.h"

namespace board {
namespace {

// Closes a host descriptor on every path out, keeping errno.
class HostFd {
public:
    explicit HostFd(int fd) : fd_(fd) {}
    ~HostFd() {
        if (fd_ >= 0) {
            const int saved = errno;
            ::close(fd_);
            errno = saved;
        }
    }
    HostFd(const HostFd&) = delete;
    HostFd& operator=(const HostFd&) = delete;
    int get() const { return fd_; }
    // Closes now; a failed close (a deferred write error) is reported.
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

std::string ParentOf(const std::string& hostPath) {
    const size_t slash = hostPath.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : hostPath.substr(0, slash);
}

int SyncHostDir(const std::string& dir) {
    HostFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) return -1;
    return ::fsync(fd.get());
}

bool WriteAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

ReplaceResult ReplaceFile(const char* terminalPath, const void* data, size_t size, mode_t mode) {
    const std::string target = Path(terminalPath);
    if (target.empty()) return ReplaceResult::kCannotCreate;
    struct stat old;
    if (::lstat(target.c_str(), &old) == 0) {
        // A directory cannot be opened for writing, as open(2) says; a link
        // or a device in its place is not ours to swap for a file.
        if (S_ISDIR(old.st_mode)) return ReplaceResult::kCannotCreate;
        if (!S_ISREG(old.st_mode)) return ReplaceResult::kNotWritten;
        mode = old.st_mode & 07777;
    }
    const std::string temp = target + ".new";
    HostFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (fd.get() < 0) return ReplaceResult::kCannotCreate;
    // The umask must not narrow the permissions the old file had.
    const bool written = ::fchmod(fd.get(), mode) == 0 && WriteAll(fd.get(), data, size) &&
                         ::fsync(fd.get()) == 0 && fd.Close();
    if (!written || ::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        return ReplaceResult::kNotWritten;
    }
    // The rename itself is durable only once the directory is.
    return SyncHostDir(ParentOf(target)) == 0 ? ReplaceResult::kDone : ReplaceResult::kNotWritten;
}

int Rename(const char* from, const char* to) {
    const std::string hostTo = Path(to);
    if (::rename(Path(from).c_str(), hostTo.c_str()) != 0) return -1;
    return SyncHostDir(ParentOf(hostTo));
}

int SyncParentDir(const char* terminalPath) { return SyncHostDir(ParentOf(Path(terminalPath))); }

}  // namespace board
