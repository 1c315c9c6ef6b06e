// Files that survive a power cut whole: a file is replaced by writing a
// temporary file beside it, flushing it to the flash and renaming it over
// the old one, so a cut at any instant leaves the old content or the new,
// never a torn or empty file. Paths are terminal paths (board::Path maps
// them), so both boards share this code.
#ifndef PATERM_BOARD_DURABLE_FILE_H
#define PATERM_BOARD_DURABLE_FILE_H

#include <sys/types.h>

#include <cstddef>

namespace board {

enum class ReplaceResult {
    kDone = 0,
    kCannotCreate,  // the temporary file could not be created: nothing changed
    kNotWritten,    // writing, flushing or renaming failed: the old file stays
};

// Replaces the file at terminalPath by the `size` bytes at data. The new
// file gets the old one's permissions, or `mode` when there was none. The
// temporary file is terminalPath + ".new"; one writer per file at a time.
// A target that exists but is no regular file is left alone: a directory
// gives kCannotCreate, a link or a device kNotWritten.
ReplaceResult ReplaceFile(const char* terminalPath, const void* data, size_t size, mode_t mode);

// rename(2) of two terminal paths in one directory tree, then the
// destination's directory is flushed so the new name is on the flash too.
// 0, or -1 with errno.
int Rename(const char* from, const char* to);

// Flushes the directory that holds terminalPath (a created, renamed or
// removed name in it is then on the flash). 0, or -1 with errno.
int SyncParentDir(const char* terminalPath);

}  // namespace board

#endif  // PATERM_BOARD_DURABLE_FILE_H
