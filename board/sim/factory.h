// The first-boot factory install: what a terminal has on its flash before
// any program of this system runs. Only missing pieces are made.
//  - /opt/lpc3250/usr/bin/wget.tgz, a gzip tar with one file "wget" (the
//    board itself carries out "/tmp/wget" downloads; the file only has to
//    exist once unpacked);
//  - /etc/boa/www.passwd, "super:" and the crypt(3) hash of the default
//    administrator password kDefaultPassword;
//  - an empty /mmc.
#ifndef PATERM_BOARD_SIM_FACTORY_H
#define PATERM_BOARD_SIM_FACTORY_H

#include <string>

#include "board/sim/op_log.h"
#include "board/sim/root_layout.h"
#include "board/sim/tool_runner.h"

namespace sim {

inline constexpr const char* kAdminUser = "super";
inline constexpr const char* kDefaultPassword = "admin";
inline constexpr const char* kPasswordSalt = "$1$paterm$";

// The password file's line for user and password ("super:$1$paterm$...").
std::string PasswordLine(const std::string& user, const std::string& password);

bool FactoryInstall(const RootLayout& root, ToolRunner* tools, OpLog* log, std::string* error);

}  // namespace sim

#endif  // PATERM_BOARD_SIM_FACTORY_H
