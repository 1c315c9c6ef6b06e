// Test material for upgrades: tar archives built member by member (so that
// hostile names and links can be made), gzip files of stored blocks, kernel
// images with their header checksums, and host tools run with an argument
// vector (the host's tar and gzip make real archives).
#ifndef PATERM_TESTS_UPGRADE_UPGRADE_FIXTURES_H
#define PATERM_TESTS_UPGRADE_UPGRADE_FIXTURES_H

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "upgrade/gunzip.h"
#include "upgrade/uimage.h"

extern char** environ;

namespace upgradetest {

using Bytes = std::vector<uint8_t>;

inline Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A tar archive in the ustar format, one member at a time.
class TarBuilder {
public:
    // type: '0' file, '5' directory, '2' symbolic link, '1' hard link, or any other type byte.
    TarBuilder& Add(const std::string& name, char type = '0', const std::string& data = "",
                    const std::string& link = "") {
        uint8_t h[512] = {};
        std::memcpy(h, name.data(), std::min<size_t>(name.size(), 100));
        std::snprintf(reinterpret_cast<char*>(h + 100), 8, "%07o", type == '5' ? 0755 : 0644);
        std::snprintf(reinterpret_cast<char*>(h + 108), 8, "%07o", 0);
        std::snprintf(reinterpret_cast<char*>(h + 116), 8, "%07o", 0);
        std::snprintf(reinterpret_cast<char*>(h + 124), 12, "%011zo", data.size());
        std::snprintf(reinterpret_cast<char*>(h + 136), 12, "%011o", 0);
        h[156] = static_cast<uint8_t>(type);
        std::memcpy(h + 157, link.data(), std::min<size_t>(link.size(), 100));
        std::memcpy(h + 257, "ustar\0" "00", 8);
        std::memset(h + 148, ' ', 8);
        unsigned sum = 0;
        for (uint8_t b : h) sum += b;
        std::snprintf(reinterpret_cast<char*>(h + 148), 8, "%06o", sum);
        bytes_.insert(bytes_.end(), h, h + 512);
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        bytes_.resize((bytes_.size() + 511) / 512 * 512, 0);
        return *this;
    }
    // A GNU long-name record ('L') or a pax header ('x') for the next member.
    TarBuilder& Extension(char type, const std::string& data) { return Add("././@LongLink", type, data); }
    // The archive with its two zero blocks.
    Bytes Finish() const {
        Bytes out = bytes_;
        out.resize(out.size() + 1024, 0);
        return out;
    }
    Bytes Unfinished() const { return bytes_; }

private:
    Bytes bytes_;
};

// A gzip file of stored deflate blocks (what gzip would make of data it cannot shrink).
inline Bytes StoredGzip(const Bytes& data) {
    Bytes out = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3};
    size_t at = 0;
    do {
        const size_t n = std::min<size_t>(data.size() - at, 65535);
        const bool last = at + n == data.size();
        out.push_back(last ? 1 : 0);
        for (uint16_t v : {static_cast<uint16_t>(n), static_cast<uint16_t>(~n)}) {
            out.push_back(static_cast<uint8_t>(v));
            out.push_back(static_cast<uint8_t>(v >> 8));
        }
        out.insert(out.end(), data.begin() + at, data.begin() + at + n);
        at += n;
    } while (at < data.size());
    for (uint32_t v : {upgrade::Crc32(0, data.data(), data.size()), static_cast<uint32_t>(data.size())})
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return out;
}

inline void PutBe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// A kernel image: the 64-byte header with both checksums, then the data.
inline Bytes MakeUImage(const Bytes& data) {
    Bytes image(upgrade::kUImageHeaderSize, 0);
    PutBe32(image.data(), upgrade::kUImageMagic);
    PutBe32(image.data() + 12, static_cast<uint32_t>(data.size()));
    PutBe32(image.data() + 24, upgrade::Crc32(0, data.data(), data.size()));
    std::memcpy(image.data() + 32, "Linux-2.6.27", 12);
    PutBe32(image.data() + 4, upgrade::Crc32(0, image.data(), image.size()));
    image.insert(image.end(), data.begin(), data.end());
    return image;
}

// Deterministic bytes of some variety (not all compressible).
inline Bytes Pattern(size_t size, uint32_t seed) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        out[i] = static_cast<uint8_t>(seed >> 16);
    }
    return out;
}

// Runs a host tool (found on PATH) with an argument vector, its standard
// output to outFile when one is given; its exit code, or -1.
inline int RunTool(const std::vector<std::string>& args, const std::string& outFile = "") {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!outFile.empty())
        posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid;
    int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// A byte source over memory, read in pieces of at most `piece` bytes.
inline upgrade::ByteSource MemorySource(const Bytes& data, size_t piece = 4096) {
    auto at = std::make_shared<size_t>(0);
    return [&data, piece, at](uint8_t* buf, size_t count) {
        const size_t n = std::min({count, piece, data.size() - *at});
        if (n > 0) std::memcpy(buf, data.data() + *at, n);
        *at += n;
        return static_cast<ssize_t>(n);
    };
}

}  // namespace upgradetest

#endif  // PATERM_TESTS_UPGRADE_UPGRADE_FIXTURES_H
