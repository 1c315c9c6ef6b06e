// Making the factory files of a new board root.
#include "board/sim/factory.h"

#include <crypt.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <system_error>

#include "board/sim/fd_io.h"
#include "board/sim/result.h"
#include "board/sim/unique_fd.h"

namespace sim {
namespace {

namespace fs = std::filesystem;

constexpr const char* kWgetArchive = "/opt/lpc3250/usr/bin/wget.tgz";
constexpr const char* kPasswordFile = "/etc/boa/www.passwd";

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// The host's wget, copied to the staging directory as "wget", mode 0755.
Result<> StageWget(const std::string& hostWget, const std::string& staging) {
    if (::access(hostWget.c_str(), X_OK) != 0)
        return Error::FromErrno("no download program " + hostWget + " on this host (install Debian's package wget)");
    std::error_code ec;
    fs::create_directories(staging, ec);
    const std::string staged = staging + "/wget";
    if (!ec) fs::copy_file(hostWget, staged, fs::copy_options::overwrite_existing, ec);
    if (!ec) fs::permissions(staged, static_cast<fs::perms>(0755), ec);
    if (ec) return Error{ec.value(), "copy " + hostWget + " to " + staged};
    return {};
}

// The default administrator's password file at host path `path`.
Result<> WritePasswordFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) return Error::FromErrno("cannot create the password file " + path);
    if (Result<> written = WriteAll(fd.Get(), PasswordLine(kAdminUser, kDefaultPassword)); !written) {
        // A partial file would be kept as installed on the next start.
        ::unlink(path.c_str());
        return Error{written.error().code, "cannot write the password file " + path};
    }
    return {};
}

}  // namespace

Result<> MakeWgetArchive(const RootLayout& root, ToolRunner* tools, const std::string& hostWget) {
    const std::string staging = root.SimFile("factory");
    const std::string archive = root.Host(kWgetArchive);
    Result<> staged = StageWget(hostWget, staging);
    int status = -1;
    if (staged) {
        std::error_code ec;
        fs::create_directories(fs::path(archive).parent_path(), ec);
        // Owned by root, as on the terminal's flash, whoever runs the board.
        status = tools->Run({"tar", "czf", archive, "--owner=0", "--group=0", "--numeric-owner", "-C", staging,
                             "wget"},
                            root.dir());
    }
    std::error_code ignored;
    fs::remove_all(staging, ignored);
    if (!staged) return staged;
    if (status != 0) return Error{0, "cannot make " + archive + " with the host's tar"};
    return {};
}

std::string PasswordLine(const std::string& user, const std::string& password) {
    // crypt_data is large; crypt_r keeps the board free of crypt's static buffer.
    auto data = std::make_unique<crypt_data>();
    const char* hash = crypt_r(password.c_str(), kPasswordSalt, data.get());
    return user + ":" + (hash ? hash : "") + "\n";
}

Result<> FactoryInstall(const RootLayout& root, ToolRunner* tools, OpLog* log, const std::string& hostWget) {
    if (!Exists(root.Host(kWgetArchive))) {
        if (Result<> made = MakeWgetArchive(root, tools, hostWget); !made) return made;
        log->Add(LogKind::kBoard, std::string("factory install: ") + kWgetArchive + " (" + hostWget + ")");
    }
    if (!Exists(root.Host(kPasswordFile))) {
        if (Result<> written = WritePasswordFile(root.Host(kPasswordFile)); !written) return written;
        log->Add(LogKind::kBoard, std::string("factory install: ") + kPasswordFile + " (user " + kAdminUser +
                                      ", password " + kDefaultPassword + ")");
    }
    return {};
}

}  // namespace sim
