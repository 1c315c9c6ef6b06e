// Making the factory files of a new board root.
#include "board/sim/factory.h"

#include <crypt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>

namespace sim {
namespace {

constexpr const char* kWgetArchive = "/opt/lpc3250/usr/bin/wget.tgz";
constexpr const char* kPasswordFile = "/etc/boa/www.passwd";
constexpr const char* kWgetText =
    "This board's downloads are carried out by the simulated board itself:\n"
    "\"/tmp/wget ... http://HOST[:PORT]/PATH -O FILE\" runs only once this file is unpacked.\n";

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool MakeWgetArchive(const RootLayout& root, ToolRunner* tools, std::string* error) {
    std::string staging = root.SimFile("factory");
    ::mkdir(staging.c_str(), 0755);
    std::string wget = staging + "/wget";
    {
        std::ofstream out(wget, std::ios::trunc);
        out << kWgetText;
    }
    ::chmod(wget.c_str(), 0755);
    std::string archive = root.Host(kWgetArchive);
    std::string bin = archive.substr(0, archive.rfind('/'));
    int status = tools->Run({"mkdir", "-p", bin}, root.dir());
    if (status == 0) status = tools->Run({"tar", "czf", archive, "-C", staging, "wget"}, root.dir());
    ::unlink(wget.c_str());
    ::rmdir(staging.c_str());
    if (status != 0) {
        *error = "cannot make " + archive + " with the host's tar";
        return false;
    }
    return true;
}

}  // namespace

std::string PasswordLine(const std::string& user, const std::string& password) {
    // crypt_data is large; crypt_r keeps the board free of crypt's static buffer.
    auto data = std::make_unique<crypt_data>();
    const char* hash = crypt_r(password.c_str(), kPasswordSalt, data.get());
    return user + ":" + (hash ? hash : "") + "\n";
}

bool FactoryInstall(const RootLayout& root, ToolRunner* tools, OpLog* log, std::string* error) {
    if (!Exists(root.Host(kWgetArchive))) {
        if (!MakeWgetArchive(root, tools, error)) return false;
        log->Add(LogKind::kBoard, std::string("factory install: ") + kWgetArchive);
    }
    if (!Exists(root.Host(kPasswordFile))) {
        std::ofstream out(root.Host(kPasswordFile), std::ios::trunc);
        out << PasswordLine(kAdminUser, kDefaultPassword);
        if (!out) {
            *error = std::string("cannot write ") + kPasswordFile;
            return false;
        }
        log->Add(LogKind::kBoard, std::string("factory install: ") + kPasswordFile + " (user " + kAdminUser +
                                      ", password " + kDefaultPassword + ")");
    }
    return true;
}

}  // namespace sim
