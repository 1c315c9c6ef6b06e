// The check an application archive passes before the installed tree is
// removed: a complete gzip tar whose members all lie inside "lpc3250/"
// (no absolute names, no "..", no member reached through a link of the
// archive, links pointing only inside the tree, only files, directories
// and links), read to its end with its checksums right.
#ifndef PATERM_UPGRADE_ARCHIVE_CHECK_H
#define PATERM_UPGRADE_ARCHIVE_CHECK_H

#include <string>

#include "upgrade/gunzip.h"

namespace upgrade {

// The top directory every member lies in; the archive unpacks under "/opt".
inline constexpr const char* kAppTreeTop = "lpc3250";

// 1 when the archive is sound, else 0 with the reason in *why.
int CheckAppArchive(const ByteSource& source, std::string* why);

}  // namespace upgrade

#endif  // PATERM_UPGRADE_ARCHIVE_CHECK_H
