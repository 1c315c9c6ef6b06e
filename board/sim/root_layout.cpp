// Directories, lock, /tmp clearing and the card file of the board root.
#include "board/sim/root_layout.h"

#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "board/sim/path_map.h"

namespace sim {
namespace {

constexpr const char* kDirectories[] = {"/opt/lpc3250", "/tmp", "/mmc", "/etc/boa", "/dev", "/sim"};

bool MakeDirs(const std::string& path) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int RemoveEntry(const char* path, const struct stat*, int type, struct FTW* where) {
    if (where->level == 0) return 0;  // keep the directory itself
    int rc = (type == FTW_DP) ? ::rmdir(path) : ::unlink(path);
    return rc == 0 || errno == ENOENT ? 0 : -1;
}

}  // namespace

bool ResolveRoot(const std::string& dir, std::string* absolute, std::string* error) {
    std::string path = dir;
    if (path.empty() || path[0] != '/') {
        char cwd[PATH_MAX];
        if (!::getcwd(cwd, sizeof cwd)) {
            *error = std::string("getcwd: ") + std::strerror(errno);
            return false;
        }
        path = std::string(cwd) + "/" + path;
    }
    path = NormalizeTerminalPath(path);
    if (path == "/") {
        *error = "the board root cannot be the host's /";
        return false;
    }
    if (!MakeDirs(path)) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    *absolute = path;
    return true;
}

std::string RootLayout::Host(std::string_view terminalPath) const {
    return MapUnderRoot(dir_, NormalizeTerminalPath(terminalPath));
}

std::string RootLayout::SimFile(std::string_view name) const { return dir_ + "/sim/" + std::string(name); }

bool RootLayout::Prepare(std::string* error) {
    for (const char* sub : kDirectories) {
        if (!MakeDirs(dir_ + sub)) {
            *error = "cannot create " + dir_ + sub + ": " + std::strerror(errno);
            return false;
        }
    }
    lock_.Reset(::open(SimFile("board.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!lock_ || ::flock(lock_.Get(), LOCK_EX | LOCK_NB) != 0) {
        *error = "another board runs on " + dir_;
        return false;
    }
    return true;
}

bool RootLayout::EmptyTmp() {
    std::string tmp = Host("/tmp");
    struct stat st;
    // A symbolic link in its place is removed, never followed.
    if (::lstat(tmp.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) ::unlink(tmp.c_str());
    if (!MakeDirs(tmp)) return false;
    return ::nftw(tmp.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS) == 0;
}

void RootLayout::SetCardPresent(bool present) {
    std::string node = Host(kCardNode);
    if (present) {
        UniqueFd fd(::open(node.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    } else {
        ::unlink(node.c_str());
    }
}

}  // namespace sim
