// The first-boot factory install: what a terminal has on its flash before
// any program of this system runs. Only missing pieces are made.
//  - /opt/lpc3250/usr/bin/wget.tgz, a gzip tar with one member "wget"
//    (mode 0755): the host's own wget (Debian's package wget), which the
//    board runs as "/tmp/wget" once the program has unpacked it;
//  - /etc/boa/www.passwd, "super:" and the crypt(3) hash of the default
//    administrator password kDefaultPassword;
//  - an empty /mmc.
#ifndef PATERM_BOARD_SIM_FACTORY_H
#define PATERM_BOARD_SIM_FACTORY_H

#include <string>

#include "board/sim/op_log.h"
#include "board/sim/result.h"
#include "board/sim/root_layout.h"
#include "board/sim/tool_runner.h"

namespace sim {

inline constexpr const char* kAdminUser = "super";
inline constexpr const char* kDefaultPassword = "admin";
inline constexpr const char* kPasswordSalt = "$1$paterm$";
inline constexpr const char* kHostWget = "/usr/bin/wget";

// The password file's line for user and password ("super:$1$paterm$...").
std::string PasswordLine(const std::string& user, const std::string& password);

// DIR/opt/lpc3250/usr/bin/wget.tgz holding hostWget as "wget"; the
// archive is made anew even if one exists.
[[nodiscard]] Result<> MakeWgetArchive(const RootLayout& root, ToolRunner* tools, const std::string& hostWget);

// hostWget: the download program to pack (a test may name another file).
[[nodiscard]] Result<> FactoryInstall(const RootLayout& root, ToolRunner* tools, OpLog* log,
                                     const std::string& hostWget = kHostWget);

}  // namespace sim

#endif  // PATERM_BOARD_SIM_FACTORY_H
