// The checks an upgrade's files pass before anything installed is touched:
// the application archive (gzip, then tar members) and the kernel image
// header. Input byte 0 picks what the rest is: even, a gzip file as
// downloaded; odd, a tar that the harness compresses, so that mutations
// reach the member checks; both also read as a kernel image.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "upgrade/archive_check.h"
#include "upgrade/gunzip.h"
#include "upgrade/uimage.h"

namespace {

constexpr uint64_t kPartitionSize = 64 * 1024;

std::vector<uint8_t> Compressed(const uint8_t* data, size_t size) {
    z_stream z{};
    if (deflateInit2(&z, 1, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
    std::vector<uint8_t> out(deflateBound(&z, size) + 32);
    z.next_in = const_cast<uint8_t*>(data);
    z.avail_in = static_cast<uInt>(size);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int status = deflate(&z, Z_FINISH);
    out.resize(status == Z_STREAM_END ? z.total_out : 0);
    deflateEnd(&z);
    return out;
}

// Reads bytes in uneven pieces, as a file read may return them.
upgrade::ByteSource SourceOf(const std::vector<uint8_t>& bytes) {
    auto at = std::make_shared<size_t>(0);
    return [&bytes, at](uint8_t* buf, size_t count) -> ssize_t {
        const size_t n = std::min({count, bytes.size() - *at, size_t{1000}});
        if (n == 0) return 0;
        std::memcpy(buf, bytes.data() + *at, n);
        *at += n;
        return static_cast<ssize_t>(n);
    };
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::vector<uint8_t> rest(data + 1, data + size);
    const std::vector<uint8_t> archive = (data[0] & 1) ? Compressed(rest.data(), rest.size()) : rest;
    std::string why;
    upgrade::CheckAppArchive(SourceOf(archive), &why);
    upgrade::CheckKernelImage(SourceOf(rest), rest.size(), kPartitionSize, &why);
    return 0;
}
