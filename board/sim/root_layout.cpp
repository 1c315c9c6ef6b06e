// Directories, lock, the root's check, /tmp clearing and the card file of
// the board root.
#include "board/sim/root_layout.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "board/sim/path_map.h"
#include "board/sim/result.h"

namespace sim {
namespace fs = std::filesystem;
namespace {

constexpr const char* kDirectories[] = {"/opt/lpc3250", "/tmp", "/mmc", "/etc/boa", "/dev", "/sim"};
constexpr size_t kMaxStrangers = 3;  // named in the refusal; the rest are counted

Result<> MakeDirs(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec) return Error{ec.value(), "create " + path};
    // create_directories succeeds on an existing file of that name too.
    if (!fs::is_directory(path, ec)) return Error{ENOTDIR, "create " + path};
    return {};
}

bool IsRootEntry(const std::string& name) {
    return std::any_of(std::begin(kRootEntries), std::end(kRootEntries),
                       [&](const char* entry) { return name == entry; });
}

// Refuses a directory with entries of its own (not the terminal's tree).
Result<> CheckOnlyRootEntries(const std::string& dir) {
    std::error_code ec;
    std::string strangers;
    size_t count = 0;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (IsRootEntry(name)) continue;
        if (++count <= kMaxStrangers) strangers += (strangers.empty() ? "" : ", ") + name;
    }
    if (ec) return Error{ec.value(), "read " + dir};
    if (count == 0) return {};
    if (count > kMaxStrangers) strangers += " and " + std::to_string(count - kMaxStrangers) + " more";
    return Error{0, dir + " is no board root: it holds " + strangers +
                                " (a board root holds only dev, etc, mmc, opt, sim and tmp; give a new "
                                "or empty directory)"};
}

}  // namespace

Result<std::string> ResolveRoot(const std::string& dir) {
    std::error_code ec;
    fs::path absolute = fs::absolute(dir.empty() ? fs::path(".") : fs::path(dir), ec);
    if (ec) return Error{ec.value(), "resolve " + dir};
    std::string path = NormalizeTerminalPath(absolute.string());
    if (path == "/") return Error{0, "the board root cannot be the host's /"};
    if (Result<> made = MakeDirs(path); !made) return made.error();
    if (Result<> checked = CheckOnlyRootEntries(path); !checked) return checked.error();
    return path;
}

std::string RootLayout::Host(std::string_view terminalPath) const {
    return MapUnderRoot(dir_, NormalizeTerminalPath(terminalPath));
}

std::string RootLayout::SimFile(std::string_view name) const { return dir_ + "/sim/" + std::string(name); }

Result<> RootLayout::Prepare() {
    for (const char* sub : kDirectories)
        if (Result<> made = MakeDirs(dir_ + sub); !made) return made;
    const std::string lockFile = SimFile("board.lock");
    UniqueFd lock(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!lock) return Error::FromErrno("open " + lockFile);
    if (::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return Error{0, "another board runs on " + dir_};
        return Error::FromErrno("lock " + lockFile);
    }
    lock_ = std::move(lock);
    return {};
}

Result<> RootLayout::EmptyTmp() {
    const std::string tmp = Host("/tmp");
    std::error_code ec;
    // Something else in its place (a symbolic link too) is removed, never followed.
    fs::file_status status = fs::symlink_status(tmp, ec);
    if (!ec && fs::exists(status) && !fs::is_directory(status) && !fs::remove(tmp, ec))
        return Error{ec.value(), "remove " + tmp};
    if (Result<> made = MakeDirs(tmp); !made) return made;
    // Listed first: a directory is not changed while it is being read.
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(tmp, ec), end; !ec && it != end; it.increment(ec)) entries.push_back(it->path());
    if (ec) return Error{ec.value(), "read " + tmp};
    for (const fs::path& entry : entries) {
        // remove_all removes a symbolic link itself, never what it points to.
        fs::remove_all(entry, ec);
        if (ec) return Error{ec.value(), "remove " + entry.string()};
    }
    return {};
}

}  // namespace sim
