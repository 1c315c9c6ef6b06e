// Erasing and writing the NAND partition file.
#include "board/sim/flash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "board/sim/result.h"
#include "board/sim/unique_fd.h"

namespace sim {
namespace {

bool WriteAllAt(int fd, const uint8_t* data, size_t len, off_t offset) {
    while (len > 0) {
        ssize_t n = ::pwrite(fd, data, len, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;  // nothing taken: the failure still needs a cause
        if (n <= 0) return false;
        data += n;
        len -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

}  // namespace

Result<> EnsureNandFile(const std::string& path) {
    if (::access(path.c_str(), F_OK) == 0) return {};
    Result<> erased = EraseNand(path);
    if (!erased) return Error{erased.error().code, "cannot create the NAND file " + path};
    return {};
}

Result<> EraseNand(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (!fd) return Error::FromErrno("open " + path);
    struct stat st;
    if (::fstat(fd.Get(), &st) != 0) return Error::FromErrno("stat " + path);
    size_t size = st.st_size > 0 ? static_cast<size_t>(st.st_size) : kNandSize;
    std::vector<uint8_t> erased(64 * 1024, 0xFF);
    for (size_t at = 0; at < size; at += erased.size()) {
        size_t n = std::min(erased.size(), size - at);
        if (!WriteAllAt(fd.Get(), erased.data(), n, static_cast<off_t>(at)))
            return Error::FromErrno("erase " + path);
    }
    return {};
}

Result<> NandWrite(const std::string& path, const std::string& imagePath) {
    UniqueFd image(::open(imagePath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!image) return Error::FromErrno("open " + imagePath);
    UniqueFd nand(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (!nand) return Error::FromErrno("open " + path);
    struct stat imageStat, nandStat;
    if (::fstat(image.Get(), &imageStat) != 0 || ::fstat(nand.Get(), &nandStat) != 0)
        return Error::FromErrno("stat");
    size_t imageSize = static_cast<size_t>(imageStat.st_size);
    size_t padded = (imageSize + kNandPageSize - 1) / kNandPageSize * kNandPageSize;
    if (padded > static_cast<size_t>(nandStat.st_size)) {
        return Error{0, "image of " + std::to_string(imageSize) + " bytes does not fit the partition"};
    }
    std::vector<uint8_t> page(kNandPageSize);
    for (size_t at = 0; at < padded; at += kNandPageSize) {
        std::fill(page.begin(), page.end(), 0xFF);
        size_t want = std::min(kNandPageSize, imageSize > at ? imageSize - at : 0);
        size_t got = 0;
        while (got < want) {
            ssize_t n = ::pread(image.Get(), page.data() + got, want - got, static_cast<off_t>(at + got));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return Error::FromErrno("read " + imagePath);
            if (n == 0) break;  // the image shrank: the rest of the page stays 0xFF
            got += static_cast<size_t>(n);
        }
        if (!WriteAllAt(nand.Get(), page.data(), page.size(), static_cast<off_t>(at)))
            return Error::FromErrno("write " + path);
    }
    return {};
}

}  // namespace sim
